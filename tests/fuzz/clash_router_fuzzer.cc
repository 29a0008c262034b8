// The reference engine's controller request handling over arbitrary requests: method, path,
// query, authorization and body as the HTTP server hands them to the router. Every outbound of
// the configuration points at a closed loopback port, so delay tests fail at once and reach
// nothing else. Besides surviving the request, the router answers with a status the
// controller uses, JSON that parses where it says JSON, and, when a secret is set, nothing but
// a refusal to a request without it.
//
// Input: the method, the URL (path and query as sent) and the Authorization value on the first
// three lines; the rest is the body.

#include <set>
#include <string>
#include <string_view>

#include "engine/box_config.h"
#include "engine/clash_router.h"
#include "engine/outbound_manager.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvane::fuzz::AsView;
using korvane::fuzz::SplitOnce;

constexpr char kSecret[] = "fuzz-secret";

// Port 1 on loopback: nothing listens there, so every probe is refused immediately.
constexpr char kConfig[] = R"({
  "log": {"disabled": true},
  "outbounds": [
    {"type": "selector", "tag": "proxy", "outbounds": ["auto", "socks-a", "http-b", "ss-c"],
     "default": "socks-a"},
    {"type": "urltest", "tag": "auto", "outbounds": ["socks-a", "http-b"],
     "url": "https://127.0.0.1:1/generate_204", "interval": "5m"},
    {"type": "socks", "tag": "socks-a", "server": "127.0.0.1", "server_port": 1},
    {"type": "http", "tag": "http-b", "server": "127.0.0.1", "server_port": 1},
    {"type": "shadowsocks", "tag": "ss-c", "server": "127.0.0.1", "server_port": 1,
     "method": "aes-128-gcm", "password": "x"},
    {"type": "block", "tag": "block"}
  ]
})";

const box::Config& FuzzConfig() {
  static const box::Config config = [] {
    box::Config parsed;
    std::string error;
    if (!box::ParseConfig(kConfig, &parsed, &error)) {
      fprintf(stderr, "controller fuzz configuration refused: %s\n", error.c_str());
      abort();
    }
    return parsed;
  }();
  return config;
}

// The query as the server collects it: pairs split at '&' and '=', each part decoded, the
// first value of a key kept, pairs with a malformed escape dropped.
void CollectQuery(std::string_view query, std::map<std::string, std::string>* out) {
  while (!query.empty()) {
    std::string_view pair;
    std::string_view rest;
    SplitOnce(query, "&", &pair, &rest);
    query = rest;
    std::string_view key;
    std::string_view value;
    SplitOnce(pair, "=", &key, &value);
    std::string decoded_key;
    std::string decoded_value;
    if (box::ClashRouter::Unescape(std::string(key), true, &decoded_key) &&
        box::ClashRouter::Unescape(std::string(value), true, &decoded_value)) {
      out->emplace(decoded_key, decoded_value);
    }
  }
}

void CheckReply(const box::ClashReply& reply) {
  static const std::set<int> kStatuses = {200, 204, 400, 401, 404, 405, 503, 504};
  FUZZ_CHECK(kStatuses.count(reply.status) == 1);
  if (reply.content_type.rfind("application/json", 0) == 0 ||
      (reply.status == 200 && !reply.body.empty())) {
    FUZZ_CHECK(!nlohmann::json::parse(reply.body, nullptr, false).is_discarded());
  }
  if (reply.status == 204 || reply.status == 405) {
    FUZZ_CHECK(reply.body.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const box::Config& config = FuzzConfig();
  std::string_view method;
  std::string_view url;
  std::string_view authorization;
  std::string_view rest;
  SplitOnce(AsView(data, size), "\n", &method, &rest);
  SplitOnce(rest, "\n", &url, &rest);
  SplitOnce(rest, "\n", &authorization, &rest);

  box::ClashRequest request;
  request.method = std::string(method);
  std::string_view path;
  std::string_view query;
  SplitOnce(url, "?", &path, &query);
  request.raw_path = std::string(path);
  // The server hands over only what starts with '/'.
  if (request.raw_path.empty() || request.raw_path[0] != '/') {
    request.raw_path.insert(0, "/");
  }
  CollectQuery(query, &request.query);
  request.authorization = std::string(authorization);
  request.body = std::string(rest);

  // Each input starts from a fresh service state (no selection, no delay history).
  box::Logger logger;
  box::OutboundManager outbounds(config, &logger);
  box::ClashRouter open_router(&outbounds, box::ClashAccess());
  CheckReply(open_router.Handle(request));

  box::ClashAccess guarded_access;
  guarded_access.secret = kSecret;
  box::ClashRouter guarded_router(&outbounds, guarded_access);
  box::ClashReply guarded = guarded_router.Handle(request);
  CheckReply(guarded);
  if (request.authorization != std::string("Bearer ") + kSecret) {
    FUZZ_CHECK(guarded.status == 401 || guarded.status == 404 || guarded.status == 405);
  }
  return 0;
}
