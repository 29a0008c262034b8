// Who may call the controller: the secret, and the browser origins allowed by CORS. Without a
// configured origin a page in a browser gets nothing: a request carrying an Origin is refused
// before authentication, preflights included. Pure functions; any thread.
#ifndef ENGINE_CLASH_CORS_H_
#define ENGINE_CLASH_CORS_H_

#include <string>
#include <utility>
#include <vector>

namespace box {

struct ClashAccess {
  std::string secret;                      // "" = no Authorization needed
  std::vector<std::string> allow_origins;  // exact origins, or "*"; empty = no CORS at all
  bool allow_private_network = false;      // answer private-network preflights
};

// The CORS headers of one request; null when absent.
struct CorsRequest {
  std::string method;
  const char* origin = nullptr;
  const char* request_method = nullptr;           // Access-Control-Request-Method
  const char* request_headers = nullptr;          // Access-Control-Request-Headers
  const char* request_private_network = nullptr;  // Access-Control-Request-Private-Network
};

struct CorsDecision {
  bool refuse = false;     // answer 403 Forbidden and nothing else
  bool preflight = false;  // answer 204 with `headers` without routing
  std::vector<std::pair<std::string, std::string>> headers;  // added to the reply
};

CorsDecision DecideCors(const ClashAccess& access, const CorsRequest& request);

}  // namespace box

#endif  // ENGINE_CLASH_CORS_H_
