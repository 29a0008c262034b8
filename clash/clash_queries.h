#ifndef KORVANE_CLASH_CLASH_QUERIES_H_
#define KORVANE_CLASH_CLASH_QUERIES_H_

#include <optional>
#include <string>

// What the latency workers ask the engine's controller: its loopback port and secret in the
// configuration, the node a selector uses through automatic groups, and the delay of one tag.
// Every request goes through ClashApiClient::httpGet with the controller's secret; tags are
// percent-encoded into the request path.
// Nothing here throws for controller or parsing failures, and nothing writes a line.
//
// Threads: any thread; the requests block, so worker threads only.
namespace korvane {

// The connectivity-check URL of every delay query (answers 204 No Content).
constexpr char kDefaultTestUrl[] = "https://www.gstatic.com/generate_204";

// The node the selector uses at the end of its chain.
struct ResolvedSelector {
  bool responded = false;  // the selector itself answered with a "now" value
  std::string leaf;        // the concrete member in use; empty when undetermined
  std::string group;       // the last automatic group passed on the way; empty for none
};

// The controller a request goes to.
struct ClashController {
  std::string base;    // "http://127.0.0.1:<port>"
  std::string secret;  // sent as "Authorization: Bearer <secret>"; "" sends no header
};

// The port of an "external_controller" bound to exactly 127.0.0.1, else nothing (the Clash API
// is off for the session).
std::optional<int> ExtractClashApiPort(const std::string& config);

// experimental.clash_api.secret with its JSON escapes decoded; "" when there is none, and also
// when it holds a control character (no header can carry it, so the controller refuses it).
std::string ExtractClashApiSecret(const std::string& config);

// The controller of a configuration: its loopback port and secret; nothing when the Clash API
// is off for the session.
std::optional<ClashController> FindClashController(const std::string& config);

// GET controller.base + path with the controller's secret (ClashApiClient::httpGet).
std::optional<std::string> ClashGet(const ClashController& controller,
                                    const std::string& path,
                                    int timeout);

// A tag as one URL path segment (US West/1 -> US%20West%2F1).
std::string EncodeClashPathSegment(const std::string& text);

// The first "field": integer anywhere in `json`; nothing when absent or out of int range.
std::optional<int> ExtractJsonIntField(const std::string& json, const std::string& field);

// "auto" or "auto_..." name an automatic group; anything else a concrete node.
bool IsAutomaticGroup(const std::string& tag);

// "/delay?url=<default URL>&timeout=<timeout>", the query of every delay request; the URL goes in
// literally.
std::string DelayQuery(int timeout);

// The request time-out of a delay query asking for `timeout` ms: 4000, or timeout + 1000 above
// 4000 (capped so that it cannot overflow).
int DelayRequestTimeout(int timeout);

// The selector's "now" (possibly empty), or nothing.
std::optional<std::string> ReadSelectorNow(const ClashController& controller,
                                           const std::string& tag);

// Follows `selector` through at most three automatic groups (at most four requests).
ResolvedSelector ResolveActiveSelector(const ClashController& controller,
                                       const std::string& selector);

// The tag's delay in ms through "/proxies/<tag>/delay", -1 on any failure; 0 comes back as 0.
int FetchTagDelay(const ClashController& controller, const std::string& tag, int timeout);

}  // namespace korvane

#endif  // KORVANE_CLASH_CLASH_QUERIES_H_
