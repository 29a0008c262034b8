#ifndef TESTS_SUPPORT_SCRIPTED_CONTROLLER_H_
#define TESTS_SUPPORT_SCRIPTED_CONTROLLER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane_test {

// What the scripted controller does with a request to one path.
struct ScriptedReply {
  int status = 200;
  std::string body;
  // Waits this long after reading the request before answering.
  int hold_ms = 0;
  // Keeps the connection open without answering until the controller stops.
  bool never_answer = false;
  // Waits until Release() (or the controller stops) before answering.
  bool gated = false;
  // Announces the whole body, sends half of it and closes the connection.
  bool close_mid_body = false;
  // Sends these bytes as they are instead of an HTTP answer, then closes (when not empty).
  std::string raw;
};

// A plain answer: `status` with `body`.
ScriptedReply Reply(int status, const std::string& body);

// One request as the controller read it.
struct ScriptedRequest {
  std::string target;                          // as sent: path and query, percent-encoded
  std::string path;                            // the target before "?", still encoded
  std::map<std::string, std::string> query;    // decoded keys and values ("+" is a space)
  std::map<std::string, std::string> headers;  // lower-case names, values as sent
  std::chrono::steady_clock::time_point at;
};

// A small HTTP/1.1 server on 127.0.0.1 (a free port) standing in for the engine's controller:
// each request gets the reply set for its exact encoded path (else the default, 404), one
// connection per request, every request recorded. Thread-safe; stops and joins everything in
// its destructor.
class ScriptedController {
 public:
  ScriptedController();
  ~ScriptedController();
  ScriptedController(const ScriptedController&) = delete;
  ScriptedController& operator=(const ScriptedController&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>".
  std::string base() const;

  void Set(const std::string& path, const ScriptedReply& reply);
  void SetDefault(const ScriptedReply& reply);
  // Lets the gated replies go.
  void Release();

  std::vector<ScriptedRequest> Requests() const;
  // Requests whose encoded path starts with |prefix|.
  int Count(const std::string& prefix) const;
  // Waits until |count| requests arrived in all; false after |timeout_ms|.
  bool WaitForRequests(size_t count, int timeout_ms) const;

  // Percent-decoding of one URL component ("+" stays itself).
  static std::string Decode(const std::string& text, bool plus_is_space = false);

 private:
  void Accept();
  void Serve(int fd);
  ScriptedReply ReplyFor(const std::string& path) const;

  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool released_ = false;
  std::map<std::string, ScriptedReply> replies_;
  ScriptedReply default_reply_;
  std::vector<ScriptedRequest> requests_;
  std::vector<int> open_fds_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_SCRIPTED_CONTROLLER_H_
