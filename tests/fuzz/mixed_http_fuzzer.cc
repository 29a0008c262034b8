// The mixed inbound's HTTP proxy request parser over arbitrary bytes, as they arrive on the
// port. Besides surviving the input, the parse is incremental: a request read whole is also
// read from exactly its head, and any shorter prefix of the head is still incomplete; what it
// gives is a usable target and, for a forwarded request, a complete head for the origin.

#include <string>
#include <string_view>

#include "engine/mixed_address.h"
#include "engine/mixed_http.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using box::mixed::HttpProxyRequest;
using box::mixed::ParseHttpProxyRequest;
using box::mixed::ParseStatus;
using korvane::fuzz::AsView;

ParseStatus Parse(std::string_view data, size_t* consumed, HttpProxyRequest* request) {
  std::string error;
  *consumed = 0;
  ParseStatus status = ParseHttpProxyRequest(data, consumed, request, &error);
  if (status == ParseStatus::kInvalid) {
    FUZZ_CHECK(!error.empty());
  }
  return status;
}

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so that reading past the end is caught.
  std::string bytes(AsView(data, size));
  std::string_view input(bytes);
  size_t consumed = 0;
  HttpProxyRequest request;
  if (Parse(input, &consumed, &request) != ParseStatus::kDone) {
    return 0;
  }
  FUZZ_CHECK(consumed > 0 && consumed <= input.size());
  FUZZ_CHECK(!request.host.empty());
  FUZZ_CHECK(request.port != 0);
  if (request.is_connect) {
    FUZZ_CHECK(request.forward_head.empty());
  } else {
    const std::string& head = request.forward_head;
    // One request per connection, unless the client asked for a protocol upgrade.
    FUZZ_CHECK(EndsWith(head, "Connection: close\r\n\r\n") ||
               EndsWith(head, "Connection: Upgrade\r\n\r\n"));
  }
  // The target reads back the same once formatted.
  std::string host;
  uint16_t port = 0;
  FUZZ_CHECK(box::mixed::ParseHostPort(box::mixed::FormatHostPort(request.host, request.port), 0,
                                       &host, &port));
  FUZZ_CHECK(host == request.host && port == request.port);

  // Exactly the head gives the same request.
  std::string head_only(input.substr(0, consumed));
  size_t again_consumed = 0;
  HttpProxyRequest again;
  FUZZ_CHECK(Parse(head_only, &again_consumed, &again) == ParseStatus::kDone);
  FUZZ_CHECK(again_consumed == consumed);
  FUZZ_CHECK(again.is_connect == request.is_connect && again.host == request.host &&
             again.port == request.port && again.forward_head == request.forward_head);
  // A head cut short is waited for, not refused.
  for (size_t cut : {consumed - 1, consumed / 2, consumed / 3}) {
    std::string prefix(input.substr(0, cut));
    HttpProxyRequest partial;
    size_t partial_consumed = 0;
    FUZZ_CHECK(Parse(prefix, &partial_consumed, &partial) == ParseStatus::kIncomplete);
  }
  return 0;
}
