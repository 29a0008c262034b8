#include "control_panel/panel_http.h"

#include <curl/curl.h>

#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

namespace {

// A request that needs longer is as good as no answer for a window that refreshes itself.
constexpr long kRequestTimeoutMs = 10000;
constexpr long kConnectTimeoutMs = 5000;

void InitCurlOnce() {
  static gsize done = 0;
  if (g_once_init_enter(&done)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    g_once_init_leave(&done, 1);
  }
}

}  // namespace

PanelController PanelController::FromConfig(const std::string& config_text) {
  PanelController controller;
  const nlohmann::json config = nlohmann::json::parse(config_text, nullptr, false);
  if (!config.is_object()) {
    return controller;
  }
  const auto experimental = config.find("experimental");
  if (experimental == config.end() || !experimental->is_object()) {
    return controller;
  }
  const auto api = experimental->find("clash_api");
  if (api == experimental->end() || !api->is_object()) {
    return controller;
  }
  const std::string address = api->value("external_controller", "");
  const size_t colon = address.rfind(':');
  if (address.empty() || colon == std::string::npos) {
    return controller;
  }
  std::string host = address.substr(0, colon);
  // A controller on every address is reached on the loopback one.
  if (host.empty() || host == "0.0.0.0" || host == "[::]") {
    host = "127.0.0.1";
  }
  controller.base = "http://" + host + address.substr(colon);
  controller.secret = api->value("secret", "");
  return controller;
}

std::string PanelHttp::Reply::Describe() const {
  if (status == 0) {
    return error;
  }
  std::string text = "HTTP " + std::to_string(status);
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_object() && parsed.contains("message") && parsed["message"].is_string()) {
    text += ": " + parsed["message"].get<std::string>();
  } else if (!body.empty()) {
    text += ": " + body;
  }
  return text;
}

// Results waiting for the main loop. The source is the main loop's: a worker only wakes it, and
// only while the client exists.
struct PanelHttp::Mailbox {
  std::mutex mutex;
  std::deque<std::function<void()>> items;
  GSource* source = nullptr;

  // Any thread.
  void Post(std::function<void()> item) {
    std::lock_guard<std::mutex> lock(mutex);
    if (source == nullptr) {
      return;
    }
    items.push_back(std::move(item));
    g_source_set_ready_time(source, 0);
  }

  // Main loop: runs what has come, in order.
  void Drain() {
    std::deque<std::function<void()>> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready.swap(items);
      g_source_set_ready_time(source, -1);
    }
    for (auto& item : ready) {
      item();
    }
  }
};

namespace {

struct MailboxSource {
  GSource source;
  void* mailbox;  // PanelHttp::Mailbox
};

}  // namespace

struct PanelHttp::Job {
  std::string method;
  std::string url;
  std::string secret;
  std::string body;
  std::shared_ptr<ReplyCallback> done;
  std::shared_ptr<LineCallback> on_line;  // set for a stream
  Flag cancelled;
  std::shared_ptr<Mailbox> mailbox;
  // What has come so far (a stream's unfinished line).
  std::string received;

  // Hands @item to the main loop, where it runs unless the job was cancelled by then (checked
  // there, where cancelling happens).
  void Post(std::function<void()> item) {
    mailbox->Post([cancelled = cancelled, item = std::move(item)] {
      if (!cancelled->load()) {
        item();
      }
    });
  }
};

PanelHttp::PanelHttp()
    : mailbox_(std::make_shared<Mailbox>()), cancelled_(std::make_shared<std::atomic<bool>>()) {
  InitCurlOnce();
  static GSourceFuncs funcs = {
      nullptr,
      nullptr,
      [](GSource* source, GSourceFunc, gpointer) -> gboolean {
        static_cast<Mailbox*>(reinterpret_cast<MailboxSource*>(source)->mailbox)->Drain();
        return G_SOURCE_CONTINUE;
      },
      nullptr,
      nullptr,
      nullptr};
  GSource* source = g_source_new(&funcs, sizeof(MailboxSource));
  reinterpret_cast<MailboxSource*>(source)->mailbox = mailbox_.get();
  g_source_set_ready_time(source, -1);
  g_source_attach(source, g_main_context_get_thread_default());
  mailbox_->source = source;
}

PanelHttp::~PanelHttp() {
  cancelled_->store(true);
  std::lock_guard<std::mutex> lock(mailbox_->mutex);
  g_source_destroy(mailbox_->source);
  g_source_unref(mailbox_->source);
  mailbox_->source = nullptr;
  mailbox_->items.clear();
}

void PanelHttp::Cancel() {
  cancelled_->store(true);
  cancelled_ = std::make_shared<std::atomic<bool>>();
}

std::string PanelHttp::Segment(const std::string& tag) {
  g_autofree gchar* escaped = g_uri_escape_string(tag.c_str(), nullptr, FALSE);
  return escaped;
}

void PanelHttp::Request(const PanelController& controller,
                        const char* method,
                        const std::string& path,
                        const std::string& body,
                        ReplyCallback done) {
  auto job = std::make_unique<Job>();
  job->method = method;
  job->url = controller.base + path;
  job->secret = controller.secret;
  job->body = body;
  job->done = std::make_shared<ReplyCallback>(std::move(done));
  Start(std::move(job));
}

void PanelHttp::Stream(const PanelController& controller,
                       const std::string& path,
                       LineCallback on_line) {
  auto job = std::make_unique<Job>();
  job->method = "GET";
  job->url = controller.base + path;
  job->secret = controller.secret;
  job->on_line = std::make_shared<LineCallback>(std::move(on_line));
  Start(std::move(job));
}

void PanelHttp::Start(std::unique_ptr<Job> job) {
  job->cancelled = cancelled_;
  job->mailbox = mailbox_;
  GThread* thread = g_thread_new("panel-http", Run, job.release());
  g_thread_unref(thread);
}

gpointer PanelHttp::Run(gpointer data) {
  std::unique_ptr<Job> job(static_cast<Job*>(data));
  Reply reply;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    reply.error = "cannot start an HTTP request";
  } else {
    curl_slist* headers = nullptr;
    if (!job->secret.empty()) {
      headers = curl_slist_append(headers, ("Authorization: Bearer " + job->secret).c_str());
    }
    if (!job->body.empty()) {
      headers = curl_slist_append(headers, "Content-Type: application/json");
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, job->body.c_str());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(job->body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_URL, job->url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, job->method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // The controller is on this machine: never through the desktop proxy the host sets.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    if (!job->on_line) {
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
    }
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char* bytes, size_t size, size_t count, void* user) -> size_t {
          Job* job = static_cast<Job*>(user);
          job->received.append(bytes, size * count);
          if (job->on_line) {
            size_t end;
            while ((end = job->received.find('\n')) != std::string::npos) {
              job->Post([on_line = job->on_line, line = job->received.substr(0, end)] {
                (*on_line)(line);
              });
              job->received.erase(0, end + 1);
            }
          }
          return size * count;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, job.get());
    // A cancelled request ends at the next progress call (at least once a second).
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(
        curl, CURLOPT_XFERINFOFUNCTION,
        +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
          return static_cast<std::atomic<bool>*>(user)->load() ? 1 : 0;
        });
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, job->cancelled.get());
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
      reply.body = std::move(job->received);
    } else {
      reply.error = std::string("controller: ") + curl_easy_strerror(code);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
  if (!job->on_line) {
    job->Post([done = job->done, reply = std::move(reply)] {
      if (*done) {
        (*done)(reply);
      }
    });
  }
  return nullptr;
}
