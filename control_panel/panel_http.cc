#include "control_panel/panel_http.h"

#include <curl/curl.h>

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

// What a worker hands to the main loop: a line of a stream or the final reply.
struct Delivery {
  GCancellable* cancellable;
  std::shared_ptr<PanelHttp::ReplyCallback> done;
  std::shared_ptr<PanelHttp::LineCallback> on_line;
  PanelHttp::Reply reply;
  std::string line;

  ~Delivery() { g_object_unref(cancellable); }
};

gboolean Deliver(gpointer data) {
  Delivery* delivery = static_cast<Delivery*>(data);
  // Cancelled on the main loop too, so a callback of a panel that has gone never runs.
  if (!g_cancellable_is_cancelled(delivery->cancellable)) {
    if (delivery->on_line) {
      (*delivery->on_line)(delivery->line);
    } else if (delivery->done && *delivery->done) {
      (*delivery->done)(delivery->reply);
    }
  }
  return G_SOURCE_REMOVE;
}

// Queued on @context in every case: invoking there could run the callback on the worker itself
// whenever the main loop does not hold its context at that moment.
void Post(GMainContext* context, std::unique_ptr<Delivery> delivery) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, Deliver, delivery.release(),
                        [](gpointer data) { delete static_cast<Delivery*>(data); });
  g_source_attach(source, context);
  g_source_unref(source);
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

struct PanelHttp::Job {
  std::string method;
  std::string url;
  std::string secret;
  std::string body;
  std::shared_ptr<ReplyCallback> done;
  std::shared_ptr<LineCallback> on_line;  // set for a stream
  GCancellable* cancellable = nullptr;
  // The main loop's context, where the answers go.
  GMainContext* context = nullptr;
  // What has come so far (a stream's unfinished line).
  std::string received;

  ~Job() {
    g_clear_object(&cancellable);
    g_clear_pointer(&context, g_main_context_unref);
  }
};

PanelHttp::PanelHttp() : cancellable_(g_cancellable_new()) {
  InitCurlOnce();
}

PanelHttp::~PanelHttp() {
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
}

void PanelHttp::Cancel() {
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  cancellable_ = g_cancellable_new();
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
  job->cancellable = G_CANCELLABLE(g_object_ref(cancellable_));
  job->context = g_main_context_ref_thread_default();
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
              auto delivery = std::make_unique<Delivery>();
              delivery->cancellable = G_CANCELLABLE(g_object_ref(job->cancellable));
              delivery->on_line = job->on_line;
              delivery->line = job->received.substr(0, end);
              job->received.erase(0, end + 1);
              Post(job->context, std::move(delivery));
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
          return g_cancellable_is_cancelled(static_cast<GCancellable*>(user)) ? 1 : 0;
        });
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, job->cancellable);
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
    auto delivery = std::make_unique<Delivery>();
    delivery->cancellable = G_CANCELLABLE(g_object_ref(job->cancellable));
    delivery->done = job->done;
    delivery->reply = std::move(reply);
    Post(job->context, std::move(delivery));
  }
  return nullptr;
}
