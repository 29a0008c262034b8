#ifndef KORVANE_CLASH_CLASH_API_CLIENT_H_
#define KORVANE_CLASH_CLASH_API_CLIENT_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// The result of a latency test: `latency` in milliseconds (-1 when there is none) and `error`
// (empty on success, else the reason).
struct UrlTestResult {
  int latency = -1;
  std::string error;
};

// HTTP client of the engine's Clash API controller on 127.0.0.1: plain GETs, with
// "Authorization: Bearer <secret>" when the controller has a secret, one libcurl easy handle per
// request. No proxy is used and libcurl never looks one up in the environment, which the
// desktop-proxy code changes on the main thread while requests run.
//
// Threads: globalInit on the main thread before any worker starts; every other function may run
// on any thread at once, but each blocks for its requests (and performUrlTestOnPort for whole
// seconds), so none belongs on the GLib main thread.
class ClashApiClient {
 public:
  static const std::string API_BASE_URL;
  static constexpr int API_PORT = 9090;
  // Controller answers are a few KiB; a longer body is a failed transfer.
  static constexpr size_t kMaxBodyBytes = 4 * 1024 * 1024;

  // libcurl's one-time global initialisation (it reads the environment, so it belongs on the
  // main thread before workers run). httpGet does it too if it has not run yet.
  static void globalInit();

  // The body of a transfer that succeeded with HTTP status 200; empty for every other outcome
  // (no connection, time-out, any other status). `timeout` (ms) bounds the connection and the
  // whole transfer. A body over kMaxBodyBytes also gives empty. A non-empty `secret` is sent as
  // "Authorization: Bearer <secret>"; one with a line break sends nothing and gives empty.
  static std::optional<std::string> httpGet(const std::string& url,
                                            int timeout,
                                            const std::string& secret = "");

  // Whether the controller on `port` answers "/version" within 1000 ms.
  static bool isApiAvailable(int port, const std::string& secret = "");
  static bool isApiAvailable();

  // The delay under "proxy-main", else under "proxy", else -1. A number too large for an int
  // counts as no number (so a huge "proxy-main" leaves "proxy" to answer).
  static int parseUrlTestResponse(const std::string& body);

  // Percent-encodes `text` for one URL path segment or one query value: every byte but ASCII
  // letters, digits and "-._~" becomes %XX, so the text cannot change the request around it.
  static std::string percentEncode(const std::string& text);

  // Latency test of the fixed group "proxy" on `port`: a 1 s settling wait, then up to
  // `attempts` group-delay requests 1 s apart. `cancel` (may be empty) is asked between steps
  // on the calling thread.
  static UrlTestResult performUrlTestOnPort(const std::string& testUrl,
                                            int port,
                                            int timeout,
                                            int attempts,
                                            const std::function<bool()>& cancel,
                                            const std::string& secret = "");
  static UrlTestResult performUrlTest(const std::string& testUrl,
                                      int timeout,
                                      int attempts,
                                      const std::function<bool()>& cancel);
};

#endif  // KORVANE_CLASH_CLASH_API_CLIENT_H_
