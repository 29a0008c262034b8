// The mixed inbound's SOCKS5 handshake parsers over arbitrary bytes: the method selection and
// the request that follows it, as they arrive on the port. Besides surviving the input, each
// parse is incremental (a message read whole is read from exactly its bytes, a shorter prefix
// is still incomplete) and a refused request names a reply code the client can be sent.

#include <string>
#include <string_view>

#include "engine/mixed_address.h"
#include "engine/mixed_socks5.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using box::mixed::ParseStatus;
using box::mixed::Socks5Request;

ParseStatus Greeting(const std::string& bytes, size_t* consumed, bool* no_auth) {
  std::string error;
  *consumed = 0;
  bool user_pass = false;
  ParseStatus status =
      box::mixed::ParseSocks5Greeting(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                      consumed, no_auth, &user_pass, &error);
  if (status == ParseStatus::kInvalid) {
    FUZZ_CHECK(!error.empty());
  }
  return status;
}

ParseStatus Request(const std::string& bytes, size_t* consumed, Socks5Request* request) {
  std::string error;
  uint8_t reply_code = box::mixed::kSocks5Succeeded;
  *consumed = 0;
  ParseStatus status =
      box::mixed::ParseSocks5Request(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                     consumed, request, &reply_code, &error);
  if (status == ParseStatus::kInvalid) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(reply_code == box::mixed::kSocks5GeneralFailure ||
               reply_code == box::mixed::kSocks5CommandNotSupported ||
               reply_code == box::mixed::kSocks5AddressTypeNotSupported);
    FUZZ_CHECK(box::mixed::Socks5Reply(reply_code, nullptr).size() == 10);
  }
  return status;
}

// Every shorter prefix of a complete message of |size| bytes in |bytes| is incomplete.
template <typename Parse>
void CheckPrefixes(const std::string& bytes, size_t size, Parse parse) {
  for (size_t cut : {size - 1, size / 2, size_t{1}}) {
    if (cut >= size) {
      continue;
    }
    FUZZ_CHECK(parse(bytes.substr(0, cut)) == ParseStatus::kIncomplete);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t consumed = 0;
  bool no_auth = false;
  if (Greeting(input, &consumed, &no_auth) != ParseStatus::kDone) {
    return 0;
  }
  FUZZ_CHECK(consumed >= 2 && consumed <= input.size());
  bool again_no_auth = false;
  size_t again_consumed = 0;
  FUZZ_CHECK(Greeting(input.substr(0, consumed), &again_consumed, &again_no_auth) ==
             ParseStatus::kDone);
  FUZZ_CHECK(again_consumed == consumed && again_no_auth == no_auth);
  CheckPrefixes(input, consumed, [](const std::string& prefix) {
    size_t ignored_consumed = 0;
    bool ignored = false;
    return Greeting(prefix, &ignored_consumed, &ignored);
  });

  std::string rest = input.substr(consumed);
  Socks5Request request;
  size_t request_size = 0;
  if (Request(rest, &request_size, &request) != ParseStatus::kDone) {
    return 0;
  }
  FUZZ_CHECK(request_size >= 7 && request_size <= rest.size());
  FUZZ_CHECK(request.command == box::mixed::kSocks5CommandConnect);
  FUZZ_CHECK(!request.host.empty());
  Socks5Request again;
  size_t again_size = 0;
  FUZZ_CHECK(Request(rest.substr(0, request_size), &again_size, &again) == ParseStatus::kDone);
  FUZZ_CHECK(again_size == request_size && again.host == request.host &&
             again.port == request.port && again.command == request.command);
  CheckPrefixes(rest, request_size, [](const std::string& prefix) {
    size_t ignored_size = 0;
    Socks5Request ignored;
    return Request(prefix, &ignored_size, &ignored);
  });
  // An address literal in the request is what a reply would carry back.
  sockaddr_storage address{};
  if (box::mixed::ParseIpLiteral(request.host, request.port, &address)) {
    std::string reply = box::mixed::Socks5Reply(box::mixed::kSocks5Succeeded, &address);
    FUZZ_CHECK(reply.size() == 10 || reply.size() == 22);
  }
  return 0;
}
