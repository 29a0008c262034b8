#ifndef TESTS_E2E_E2E_SUPPORT_H_
#define TESTS_E2E_E2E_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/test_files.h"
#include "tools/korvanectl/bridge_client.h"
#include "vpn/vpn_channels.h"

// Helpers shared by the end-to-end tests of the connection controller: engine configurations
// with free ports, a page server on loopback, fetches through the mixed inbound, and the UI's
// side of calls and events over the bridge.
namespace korvane_test {

// Generous: the host and the engine run under the sanitizers on a shared machine.
constexpr int kCallTimeoutMs = 60000;
constexpr int kEventTimeoutMs = 60000;

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr const char* kEventChannel = korvane::kEventChannelName;

// $KORVANE_SOURCE_DIR/examples/<name>.
std::string ExampleConfig(const std::string& name);

// examples/mixed.json with its mixed inbound on |mixed_port|, its controller (and the URL test
// that probes it) on |controller_port| and its log written to |log_path|.
std::string MixedConfig(int mixed_port, int controller_port, const std::string& log_path);

// Replaces every |from| in |text| with |to|.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to);

// The environment that gives the host a GNOME desktop whose settings live in the fixture's
// private configuration directory (keyfile back-end).
std::vector<std::pair<std::string, std::string>> GnomeKeyfileEnvironment();

// `gsettings get SCHEMA KEY` with the host's environment; the value without its line end.
std::string GnomeSetting(const korvane_test::HostFixture& host,
                         const std::string& schema,
                         const std::string& key);

// Serves one fixed page over HTTP/1.0 on 127.0.0.1 from a thread until destroyed.
class PageServer {
 public:
  explicit PageServer(const std::string& body);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  int port() const { return port_; }
  std::string url() const;
  int requests() const { return requests_.load(); }

 private:
  void Serve();

  std::string body_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// Fetches |url| through the HTTP proxy at 127.0.0.1:|proxy_port|. True on status 200; the body
// goes to *body and what went wrong to *error.
bool FetchThroughProxy(const std::string& url,
                       int proxy_port,
                       std::string* body,
                       std::string* error);

// The UI's side of one bridge connection: calls on the vpn channel and the event stream.
class Ui {
 public:
  explicit Ui(std::unique_ptr<BridgeClient> client) : client_(std::move(client)) {}

  BridgeClient* client() { return client_.get(); }
  bool Listen();
  bool Cancel();

  BridgeClient::Response Call(const std::string& method, FlValue* args = nullptr);
  // "loadVPNPreference" with {"config": config, "autoConfigureProxy": flag}.
  BridgeClient::Response Load(const std::string& config, bool auto_configure_proxy = true);

  // Event statuses ("vpn_connecting", ...; an error event as "vpn_error") until one in |stops|
  // arrives (included) or the timeout; the error events' texts go to *errors when given.
  std::vector<std::string> EventsUntil(const std::vector<std::string>& stops,
                                       std::vector<std::string>* errors = nullptr,
                                       int timeout_ms = kEventTimeoutMs);
  // Every event raised before now: a cheap call is answered after them, then the queue is read.
  std::vector<std::string> PendingEvents(std::vector<std::string>* errors = nullptr);

 private:
  std::unique_ptr<BridgeClient> client_;
};

// The boolean result of a successful response, or a failure text naming what came instead.
::testing::AssertionResult IsTrueResponse(const BridgeClient::Response& response);
// Error "EXCEPTION" with exactly |message|.
::testing::AssertionResult IsException(const BridgeClient::Response& response,
                                       const std::string& message);
// The string result of a successful response ("" otherwise).
std::string StringResult(const BridgeClient::Response& response);

}  // namespace korvane_test

#endif  // TESTS_E2E_E2E_SUPPORT_H_
