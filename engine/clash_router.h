// The controller's routes, bodies and status codes, apart from the HTTP server that carries
// them. Any thread.
#ifndef ENGINE_CLASH_ROUTER_H_
#define ENGINE_CLASH_ROUTER_H_

#include <map>
#include <string>
#include <vector>

#include "engine/clash_cors.h"
#include "engine/outbound_manager.h"

namespace box {

struct ClashRequest {
  std::string method;
  std::string raw_path;                      // still percent-encoded
  std::map<std::string, std::string> query;  // decoded; first value of each key
  std::string authorization;
  std::string body;
};

struct ClashReply {
  int status = 200;
  std::string content_type;  // empty: no Content-Type of our own
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // GET /traffic: the server streams one line of the last second's bytes per second.
  bool traffic_stream = false;
};

class ClashRouter {
 public:
  ClashRouter(OutboundManager* outbounds, ClashAccess access)
      : outbounds_(outbounds), access_(std::move(access)) {}

  const ClashAccess& access() const { return access_; }

  ClashReply Handle(const ClashRequest& request) const;

  // One path segment or query value, percent-decoded ('+' too, for queries). False when an
  // escape is malformed.
  static bool Unescape(const std::string& text, bool query, std::string* out);

 private:
  ClashReply ProxyDelay(const OutboundOptions& outbound, const ClashRequest& request) const;
  ClashReply GroupDelay(const OutboundOptions& outbound, const ClashRequest& request) const;
  ClashReply SelectProxy(const OutboundOptions& outbound, const ClashRequest& request) const;
  ClashReply Connections() const;

  OutboundManager* outbounds_;
  ClashAccess access_;
};

}  // namespace box

#endif  // ENGINE_CLASH_ROUTER_H_
