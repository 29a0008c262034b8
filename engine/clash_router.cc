#include "engine/clash_router.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "engine/version.h"

namespace box {
namespace {

constexpr char kJson[] = "application/json; charset=utf-8";
// What Go's content sniffing gives the two routes that write pre-serialised JSON.
constexpr char kSniffedText[] = "text/plain; charset=utf-8";

template <typename Json>
std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The router's usual reply: JSON, sorted keys unless ordered, and a trailing newline.
template <typename Json>
ClashReply JsonReply(int status, const Json& body) {
  ClashReply reply;
  reply.status = status;
  reply.content_type = kJson;
  reply.body = Dump(body) + "\n";
  return reply;
}

ClashReply Message(int status, const std::string& text) {
  return JsonReply(status, nlohmann::json{{"message", text}});
}

ClashReply NotFoundPage() {
  ClashReply reply;
  reply.status = 404;
  reply.content_type = kSniffedText;
  reply.body = "404 page not found\n";
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return reply;
}

ClashReply MethodNotAllowed() {
  ClashReply reply;
  reply.status = 405;
  return reply;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 1;  // after the leading '/'
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) {
      end = path.size();
    }
    segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  // "/proxies/" routes like "/proxies".
  if (segments.size() > 1 && segments.back().empty()) {
    segments.pop_back();
  }
  return segments;
}

// strconv.ParseInt(text, 10, bits).
bool ParseInt(const std::string& text, int bits, long long* value) {
  if (text.empty()) {
    return false;
  }
  size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (i == text.size() || text.size() - i > 19) {
    return false;
  }
  long long number = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    number = number * 10 + (text[i] - '0');
  }
  if (text[0] == '-') {
    number = -number;
  }
  long long limit = 1LL << (bits - 1);
  if (number < -limit || number > limit - 1) {
    return false;
  }
  *value = number;
  return true;
}

std::string QueryValue(const ClashRequest& request, const std::string& key) {
  auto it = request.query.find(key);
  return it == request.query.end() ? "" : it->second;
}

// The test URL: empty or plain-HTTP URLs are replaced by the default HTTPS one.
std::string DelayUrl(const ClashRequest& request) {
  std::string url = QueryValue(request, "url");
  if (url.empty() || url.rfind("http://", 0) == 0) {
    return kDefaultTestUrl;
  }
  return url;
}

}  // namespace

bool ClashRouter::Unescape(const std::string& text, bool query, std::string* out) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return false;
      }
      result += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == '+' && query) {
      result += ' ';
    } else {
      result += c;
    }
  }
  *out = result;
  return true;
}

ClashReply ClashRouter::Handle(const ClashRequest& request) const {
  // Routes: which path shapes exist and the methods each accepts.
  std::vector<std::string> segments = SplitPath(request.raw_path);
  if (segments.empty()) {
    return NotFoundPage();
  }
  const std::string& method = request.method;
  enum class Route {
    kNone,
    kHello,
    kVersion,
    kProxies,
    kProxy,
    kProxyDelay,
    kGroups,
    kGroup,
    kGroupDelay,
    kConnections,
    kConnection,
    kTraffic
  };
  Route route = Route::kNone;
  std::vector<std::string> methods;
  if (segments.size() == 1 && segments[0].empty()) {
    route = Route::kHello, methods = {"GET"};
  } else if (segments.size() == 1 && segments[0] == "version") {
    route = Route::kVersion, methods = {"GET"};
  } else if (segments[0] == "proxies" && segments.size() == 1) {
    route = Route::kProxies, methods = {"GET"};
  } else if (segments[0] == "proxies" && segments.size() == 2 && !segments[1].empty()) {
    route = Route::kProxy, methods = {"GET", "PUT"};
  } else if (segments[0] == "proxies" && segments.size() == 3 && !segments[1].empty() &&
             segments[2] == "delay") {
    route = Route::kProxyDelay, methods = {"GET"};
  } else if (segments[0] == "group" && segments.size() == 1) {
    route = Route::kGroups, methods = {"GET"};
  } else if (segments[0] == "group" && segments.size() == 2 && !segments[1].empty()) {
    route = Route::kGroup, methods = {"GET"};
  } else if (segments[0] == "group" && segments.size() == 3 && !segments[1].empty() &&
             segments[2] == "delay") {
    route = Route::kGroupDelay, methods = {"GET"};
  } else if (segments[0] == "connections" && segments.size() == 1) {
    route = Route::kConnections, methods = {"GET", "DELETE"};
  } else if (segments[0] == "connections" && segments.size() == 2 && !segments[1].empty()) {
    route = Route::kConnection, methods = {"DELETE"};
  } else if (segments.size() == 1 && segments[0] == "traffic") {
    route = Route::kTraffic, methods = {"GET"};
  }
  if (route == Route::kNone) {
    return NotFoundPage();
  }
  if (std::find(methods.begin(), methods.end(), method) == methods.end()) {
    return MethodNotAllowed();
  }
  if (!access_.secret.empty() && request.authorization != "Bearer " + access_.secret) {
    return Message(401, "Unauthorized");
  }

  switch (route) {
    case Route::kHello:
      return JsonReply(200, nlohmann::json{{"hello", "clash"}});
    case Route::kVersion:
      return JsonReply(200, nlohmann::json{{"version", std::string("sing-box ") + kBoxVersion},
                                           {"premium", true},
                                           {"meta", true}});
    case Route::kProxies: {
      ClashReply reply;
      reply.content_type = kSniffedText;
      reply.body = Dump(outbounds_->AllProxies());
      return reply;
    }
    case Route::kConnections: {
      if (method == "DELETE") {
        outbounds_->connections()->CloseAll();
        ClashReply reply;
        reply.status = 204;
        return reply;
      }
      return Connections();
    }
    case Route::kConnection: {
      std::string id;
      if (Unescape(segments[1], false, &id)) {
        outbounds_->connections()->Close(id);
      }
      ClashReply reply;
      reply.status = 204;  // whether or not it was open
      return reply;
    }
    case Route::kTraffic: {
      ClashReply reply;
      reply.content_type = kJson;
      reply.traffic_stream = true;
      return reply;
    }
    case Route::kGroups: {
      nlohmann::ordered_json groups = nlohmann::ordered_json::array();
      for (const std::string& tag : outbounds_->GroupTags()) {
        groups.push_back(outbounds_->ProxyInfo(*outbounds_->Find(tag)));
      }
      nlohmann::ordered_json body;
      body["proxies"] = groups;
      return JsonReply(200, body);
    }
    default:
      break;
  }

  std::string name;
  const OutboundOptions* outbound = nullptr;
  if (Unescape(segments[1], false, &name)) {
    outbound = outbounds_->Find(name);
  }
  bool group_route = route == Route::kGroup || route == Route::kGroupDelay;
  if (outbound == nullptr || (group_route && !outbound->IsGroup())) {
    return Message(404, "Resource not found");
  }
  switch (route) {
    case Route::kProxy:
      if (method == "PUT") {
        return SelectProxy(*outbound, request);
      } else {
        ClashReply reply;
        reply.content_type = kSniffedText;
        reply.body = Dump(outbounds_->ProxyInfo(*outbound));
        return reply;
      }
    case Route::kProxyDelay:
      return ProxyDelay(*outbound, request);
    case Route::kGroup:
      return JsonReply(200, outbounds_->ProxyInfo(*outbound));
    case Route::kGroupDelay:
      return GroupDelay(*outbound, request);
    default:
      return NotFoundPage();
  }
}

ClashReply ClashRouter::ProxyDelay(const OutboundOptions& outbound,
                                   const ClashRequest& request) const {
  long long timeout = 0;
  if (!ParseInt(QueryValue(request, "timeout"), 16, &timeout)) {
    return Message(400, "Body invalid");
  }
  ProbeResult result =
      outbounds_->TestDelay(outbound.tag, DelayUrl(request), static_cast<int>(timeout));
  if (result.status == ProbeStatus::kTimeout) {
    return Message(504, "Timeout");
  }
  if (result.status != ProbeStatus::kOk) {
    return Message(503, "An error occurred in the delay test");
  }
  return JsonReply(200, nlohmann::json{{"delay", result.delay_ms}});
}

ClashReply ClashRouter::GroupDelay(const OutboundOptions& outbound,
                                   const ClashRequest& request) const {
  long long timeout = 0;
  if (!ParseInt(QueryValue(request, "timeout"), 32, &timeout)) {
    return Message(400, "Body invalid");
  }
  std::map<std::string, int> delays =
      outbound.type == "urltest"
          ? outbounds_->CheckUrlTest(outbound)
          : outbounds_->TestMembers(outbound, DelayUrl(request), static_cast<int>(timeout));
  return JsonReply(200, nlohmann::json(delays));
}

ClashReply ClashRouter::Connections() const {
  ConnectionTracker* tracker = outbounds_->connections();
  nlohmann::json list = nlohmann::json::array();
  for (const auto& handle : tracker->Live()) {
    const ConnectionHandle::Info& info = handle->info();
    const RouteRequest& request = info.request;
    const bool literal = !request.host.empty() &&
                         (request.host.find(':') != std::string::npos ||
                          request.host.find_first_not_of("0123456789.") == std::string::npos);
    nlohmann::json metadata = {
        {"network", request.network},
        {"type", request.inbound_type + "/" + request.inbound},
        {"sourceIP", request.source_ip},
        {"sourcePort", std::to_string(request.source_port)},
        {"destinationIP", literal ? request.host : ""},
        {"destinationPort", std::to_string(request.port)},
        {"host", literal ? "" : request.host},
        {"dnsMode", "normal"},
        {"processPath", ""},
    };
    list.push_back({{"id", info.id},
                    {"metadata", metadata},
                    {"upload", handle->upload()},
                    {"download", handle->download()},
                    {"start", FormatRfc3339Nano(info.start)},
                    {"chains", info.chains},
                    {"rule", info.rule},
                    {"rulePayload", ""}});
  }
  return JsonReply(200, nlohmann::json{{"downloadTotal", tracker->download_total()},
                                       {"uploadTotal", tracker->upload_total()},
                                       {"connections", list},
                                       {"droppedPackets", tracker->dropped_packets()},
                                       {"memory", 0}});
}

ClashReply ClashRouter::SelectProxy(const OutboundOptions& outbound,
                                    const ClashRequest& request) const {
  nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    return Message(400, "Body invalid");
  }
  std::string member;
  if (auto it = body.find("name"); it != body.end() && !it->is_null()) {
    if (!it->is_string()) {
      return Message(400, "Body invalid");
    }
    member = it->get<std::string>();
  }
  switch (outbounds_->Select(outbound.tag, member)) {
    case OutboundManager::SelectResult::kNotSelector:
      return Message(400, "Must be a Selector");
    case OutboundManager::SelectResult::kNotMember:
      return Message(400, "Selector update error: not found");
    case OutboundManager::SelectResult::kOk:
      break;
  }
  ClashReply reply;
  reply.status = 204;
  return reply;
}

}  // namespace box
