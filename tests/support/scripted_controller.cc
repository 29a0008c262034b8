#include "tests/support/scripted_controller.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace korvane_test {

namespace {

// Sends everything unless the peer went away (no SIGPIPE).
void SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

}  // namespace

ScriptedReply Reply(int status, const std::string& body) {
  ScriptedReply reply;
  reply.status = status;
  reply.body = body;
  return reply;
}

ScriptedController::ScriptedController() {
  default_reply_.status = 404;
  default_reply_.body = "404 page not found\n";
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread(&ScriptedController::Accept, this);
}

ScriptedController::~ScriptedController() {
  stopping_ = true;
  if (stop_pipe_[1] >= 0) {
    (void)!write(stop_pipe_[1], "x", 1);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_fds_) {
      shutdown(fd, SHUT_RDWR);
    }
  }
  changed_.notify_all();
  if (acceptor_.joinable()) {
    acceptor_.join();
  }
  for (std::thread& connection : connections_) {
    connection.join();
  }
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::string ScriptedController::base() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void ScriptedController::Set(const std::string& path, const ScriptedReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[path] = reply;
}

void ScriptedController::SetDefault(const ScriptedReply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_reply_ = reply;
}

void ScriptedController::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::vector<ScriptedRequest> ScriptedController::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int ScriptedController::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(
      std::count_if(requests_.begin(), requests_.end(), [&prefix](const ScriptedRequest& r) {
        return r.path.compare(0, prefix.size(), prefix) == 0;
      }));
}

bool ScriptedController::WaitForRequests(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= count; });
}

std::string ScriptedController::Decode(const std::string& text, bool plus_is_space) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else if (text[i] == '+' && plus_is_space) {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

ScriptedReply ScriptedController::ReplyFor(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = replies_.find(path);
  return it == replies_.end() ? default_reply_ : it->second;
}

void ScriptedController::Accept() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
      return;
    }
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(fd);
      return;
    }
    open_fds_.push_back(fd);
    connections_.emplace_back(&ScriptedController::Serve, this, fd);
  }
}

void ScriptedController::Serve(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && !stopping_) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      break;
    }
    head.append(buffer, static_cast<size_t>(n));
  }
  const size_t line_end = head.find("\r\n");
  const size_t first_space = head.find(' ');
  const size_t second_space =
      first_space == std::string::npos ? std::string::npos : head.find(' ', first_space + 1);
  if (line_end != std::string::npos && second_space != std::string::npos &&
      second_space < line_end) {
    ScriptedRequest request;
    request.target = head.substr(first_space + 1, second_space - first_space - 1);
    const size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) {
      const std::string query = request.target.substr(question + 1);
      size_t start = 0;
      while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
          end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t equals = pair.find('=');
        request.query.emplace(
            Decode(pair.substr(0, equals), true),
            equals == std::string::npos ? "" : Decode(pair.substr(equals + 1), true));
        start = end + 1;
      }
    }
    for (size_t start = line_end + 2, end = head.find("\r\n", start);
         end != std::string::npos && end > start; start = end + 2, end = head.find("\r\n", start)) {
      const std::string line = head.substr(start, end - start);
      const size_t colon = line.find(':');
      if (colon == std::string::npos) {
        continue;
      }
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      const size_t value = line.find_first_not_of(' ', colon + 1);
      request.headers[name] = value == std::string::npos ? "" : line.substr(value);
    }
    request.at = std::chrono::steady_clock::now();
    const ScriptedReply reply = ReplyFor(request.path);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();

    std::unique_lock<std::mutex> lock(mutex_);
    if (reply.never_answer) {
      changed_.wait(lock, [this] { return stopping_.load(); });
    } else if (reply.gated) {
      changed_.wait(lock, [this] { return released_ || stopping_; });
    }
    if (reply.hold_ms > 0) {
      changed_.wait_for(lock, std::chrono::milliseconds(reply.hold_ms),
                        [this] { return stopping_.load(); });
    }
    lock.unlock();
    if (!stopping_) {
      if (!reply.raw.empty()) {
        SendAll(fd, reply.raw);
      } else {
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\n" +
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
        SendAll(fd, out);
        SendAll(fd,
                reply.close_mid_body ? reply.body.substr(0, reply.body.size() / 2) : reply.body);
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  close(fd);
}

}  // namespace korvane_test
