#include "tests/e2e/e2e_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane_test {

namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* user_data) {
  static_cast<std::string*>(user_data)->append(data, size * count);
  return size * count;
}

std::string StatusOf(const BridgeClient::Event& event) {
  if (event.kind != BridgeClient::Event::Kind::kData || event.value == nullptr ||
      fl_value_get_type(event.value.get()) != FL_VALUE_TYPE_MAP) {
    return "<not a state event>";
  }
  FlValue* status = fl_value_lookup_string(event.value.get(), "status");
  if (status == nullptr || fl_value_get_type(status) != FL_VALUE_TYPE_STRING) {
    return "<no status>";
  }
  return fl_value_get_string(status);
}

std::string ErrorOf(const BridgeClient::Event& event) {
  FlValue* error = event.value ? fl_value_lookup_string(event.value.get(), "error") : nullptr;
  if (error == nullptr || fl_value_get_type(error) != FL_VALUE_TYPE_STRING) {
    return "<no error text>";
  }
  return fl_value_get_string(error);
}

}  // namespace

std::string ExampleConfig(const std::string& name) {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  return ReadFile(std::string(source != nullptr ? source : ".") + "/examples/" + name);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

std::string MixedConfig(int mixed_port, int controller_port, const std::string& log_path) {
  std::string config = ExampleConfig("mixed.json");
  config =
      ReplaceAll(config, "\"listen_port\": 2080", "\"listen_port\": " + std::to_string(mixed_port));
  config = ReplaceAll(config, "127.0.0.1:9090", "127.0.0.1:" + std::to_string(controller_port));
  config = ReplaceAll(config, "\"korvane-engine.log\"", "\"" + log_path + "\"");
  return config;
}

std::vector<std::pair<std::string, std::string>> GnomeKeyfileEnvironment() {
  return {{"XDG_CURRENT_DESKTOP", "GNOME"}, {"GSETTINGS_BACKEND", "keyfile"}};
}

std::string GnomeSetting(const korvane_test::HostFixture& host,
                         const std::string& schema,
                         const std::string& key) {
  std::string output;
  if (host.RunWithHostEnvironment({"gsettings", "get", schema, key}, &output) != 0) {
    return "<gsettings failed: " + output + ">";
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) {
    output.pop_back();
  }
  return output;
}

PageServer::PageServer(const std::string& body) : body_(body) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (listen_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot start the page server";
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&PageServer::Serve, this);
}

PageServer::~PageServer() {
  if (thread_.joinable()) {
    char stop = 1;
    (void)!write(stop_pipe_[1], &stop, 1);
    thread_.join();
  }
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::string PageServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/page";
}

void PageServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
      return;
    }
    int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      continue;
    }
    // Read the request head (it ends with an empty line), then answer and close.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd in = {client, POLLIN, 0};
      if (poll(&in, 1, 10000) <= 0) {
        break;
      }
      ssize_t n = read(client, buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      request.append(buffer, static_cast<size_t>(n));
    }
    requests_++;
    std::string response = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
    (void)!write(client, response.data(), response.size());
    close(client);
  }
}

bool FetchThroughProxy(const std::string& url,
                       int proxy_port,
                       std::string* body,
                       std::string* error) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *error = "curl_easy_init failed";
    return false;
  }
  const std::string proxy = "http://127.0.0.1:" + std::to_string(proxy_port);
  char message[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
  CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) {
    *error = std::string(curl_easy_strerror(code)) + ": " + message;
    return false;
  }
  if (status != 200) {
    *error = "HTTP status " + std::to_string(status);
    return false;
  }
  return true;
}

bool Ui::Listen() {
  BridgeClient::Response response = client_->Listen(kEventChannel, nullptr, kCallTimeoutMs);
  return response.status == BridgeClient::Status::kSuccess;
}

bool Ui::Cancel() {
  BridgeClient::Response response = client_->Cancel(kEventChannel, nullptr, kCallTimeoutMs);
  return response.status == BridgeClient::Status::kSuccess;
}

BridgeClient::Response Ui::Call(const std::string& method, FlValue* args) {
  return client_->Call(kVpnChannel, method, args, kCallTimeoutMs);
}

BridgeClient::Response Ui::Load(const std::string& config, bool auto_configure_proxy) {
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "config", fl_value_new_string(config.c_str()));
  fl_value_set_string_take(args, "autoConfigureProxy", fl_value_new_bool(auto_configure_proxy));
  return Call("loadVPNPreference", args);
}

std::vector<std::string> Ui::EventsUntil(const std::vector<std::string>& stops,
                                         std::vector<std::string>* errors,
                                         int timeout_ms) {
  std::vector<std::string> statuses;
  const int64_t deadline = g_get_monotonic_time() / 1000 + timeout_ms;
  for (;;) {
    const int left = static_cast<int>(deadline - g_get_monotonic_time() / 1000);
    BridgeClient::Event event;
    std::string failure;
    BridgeClient::Status status = client_->NextEvent(left > 0 ? left : 0, &event, &failure);
    if (status != BridgeClient::Status::kSuccess) {
      statuses.push_back("<" + std::string(StatusName(status)) + ": " + failure + ">");
      return statuses;
    }
    const std::string name = StatusOf(event);
    statuses.push_back(name);
    if (name == "vpn_error" && errors != nullptr) {
      errors->push_back(ErrorOf(event));
    }
    for (const std::string& stop : stops) {
      if (name == stop) {
        return statuses;
      }
    }
  }
}

std::vector<std::string> Ui::PendingEvents(std::vector<std::string>* errors) {
  std::vector<std::string> statuses;
  BridgeClient::Response barrier = Call("isRunning");
  if (barrier.status != BridgeClient::Status::kSuccess) {
    statuses.push_back("<barrier call failed: " + barrier.failure + ">");
    return statuses;
  }
  for (;;) {
    BridgeClient::Event event;
    std::string failure;
    // Everything raised before the barrier's answer is queued already.
    if (client_->NextEvent(0, &event, &failure) != BridgeClient::Status::kSuccess) {
      return statuses;
    }
    const std::string name = StatusOf(event);
    statuses.push_back(name);
    if (name == "vpn_error" && errors != nullptr) {
      errors->push_back(ErrorOf(event));
    }
  }
}

::testing::AssertionResult IsTrueResponse(const BridgeClient::Response& response) {
  if (response.status != BridgeClient::Status::kSuccess) {
    return ::testing::AssertionFailure() << StatusName(response.status) << " " << response.code
                                         << ": " << response.message << response.failure;
  }
  if (response.result == nullptr ||
      fl_value_get_type(response.result.get()) != FL_VALUE_TYPE_BOOL ||
      !fl_value_get_bool(response.result.get())) {
    return ::testing::AssertionFailure() << "success, but not true";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsException(const BridgeClient::Response& response,
                                       const std::string& message) {
  if (response.status != BridgeClient::Status::kError) {
    return ::testing::AssertionFailure()
           << "not an error answer: " << StatusName(response.status) << response.failure;
  }
  if (response.code != "EXCEPTION" || response.message != message) {
    return ::testing::AssertionFailure() << "error " << response.code << ": " << response.message;
  }
  return ::testing::AssertionSuccess();
}

std::string StringResult(const BridgeClient::Response& response) {
  if (response.status != BridgeClient::Status::kSuccess || response.result == nullptr ||
      fl_value_get_type(response.result.get()) != FL_VALUE_TYPE_STRING) {
    return "";
  }
  return fl_value_get_string(response.result.get());
}

}  // namespace korvane_test
