#ifndef CONTROL_PANEL_PANEL_HTTP_H_
#define CONTROL_PANEL_PANEL_HTTP_H_

#include <gio/gio.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// Where the running configuration's controller listens and the secret it wants, read from the
// configuration text the way a UI does (experimental.clash_api). Empty base when the
// configuration has no controller.
struct PanelController {
  std::string base;  // "http://127.0.0.1:9090"
  std::string secret;

  bool empty() const { return base.empty(); }
  static PanelController FromConfig(const std::string& config_text);
};

// The panel's HTTP client of the engine's controller. Every request runs on a thread of its own
// with libcurl; its result comes back on the main loop, so the window never waits for the
// controller. Main thread only (except the workers it starts). The workers touch nothing of
// GLib's: they hand results over through a mailbox under a lock of ours, and a source the main
// loop created is only woken.
class PanelHttp {
 public:
  struct Reply {
    long status = 0;  // 0: no answer (the text says why)
    std::string body;
    std::string error;
    bool ok() const { return status >= 200 && status < 300; }
    // "HTTP 400: {...}" or the transport error, for the user.
    std::string Describe() const;
  };
  using ReplyCallback = std::function<void(const Reply&)>;
  // One line of a streamed answer (without its line end).
  using LineCallback = std::function<void(const std::string&)>;

  PanelHttp();
  // Cancels everything; no callback runs after this.
  ~PanelHttp();
  PanelHttp(const PanelHttp&) = delete;
  PanelHttp& operator=(const PanelHttp&) = delete;

  // @method @path (e.g. "GET", "/proxies") on @controller with @body (JSON; "" for none).
  // @done runs once, later, on the main loop.
  void Request(const PanelController& controller,
               const char* method,
               const std::string& path,
               const std::string& body,
               ReplyCallback done);
  // Follows a streamed GET (one JSON value a line, as /traffic sends) until Cancel(); @on_line
  // runs on the main loop for each line.
  void Stream(const PanelController& controller, const std::string& path, LineCallback on_line);
  // Drops every request and stream started so far: their callbacks never run.
  void Cancel();

  // A tag as one path segment (percent-encoded).
  static std::string Segment(const std::string& tag);

 private:
  struct Job;
  struct Mailbox;
  using Flag = std::shared_ptr<std::atomic<bool>>;
  static gpointer Run(gpointer data);
  void Start(std::unique_ptr<Job> job);

  // Where the workers leave their results; shared with them, as they may outlive the client.
  std::shared_ptr<Mailbox> mailbox_;
  // Set by Cancel() and replaced; every job holds the one it started with.
  Flag cancelled_;
};

#endif  // CONTROL_PANEL_PANEL_HTTP_H_
