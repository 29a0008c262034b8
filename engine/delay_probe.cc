#include "engine/delay_probe.h"

#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/net_util.h"
#include "engine/proxy_client.h"

namespace box {
namespace {

using Clock = std::chrono::steady_clock;

// Waits in short slices so that a stop is noticed promptly. 1 ready, 0 timed out, -1 cancelled.
int WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& cancel) {
  for (;;) {
    if (cancel.load()) {
      return -1;
    }
    auto now = Clock::now();
    if (now >= deadline) {
      return 0;
    }
    // Rounded up, so that a timed-out wait really is past the deadline.
    long long left_us =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    pollfd entry{fd, events, 0};
    int rc = poll(&entry, 1, static_cast<int>(std::min<long long>((left_us + 999) / 1000, 50)));
    if (rc > 0) {
      return 1;
    }
    if (rc < 0 && errno != EINTR) {
      return -1;
    }
  }
}

class Probe {
 public:
  Probe(int timeout_ms, const std::atomic<bool>& cancel)
      : deadline_(Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0))),
        cancel_(cancel) {}

  Clock::time_point deadline() const { return deadline_; }

  // Connects to host:port; the first address that answers wins.
  bool Connect(const std::string& host, int port, std::string* error) {
    const std::string target = JoinHostPort(host, port);
    addrinfo* result = nullptr;
    int rc = Resolve(host, port, &result);
    if (rc != 0 || result == nullptr) {
      *error = "dial tcp " + target + ": lookup " + host + ": " +
               (rc == EAI_AGAIN && Clock::now() >= deadline_ ? "i/o timeout" : gai_strerror(rc));
      return false;
    }
    std::string last = "dial tcp " + target + ": no address";
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
      UniqueFd fd(socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (!fd.valid()) {
        last = "dial tcp " + target + ": socket: " + ErrnoText(errno);
        continue;
      }
      if (connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        last = "dial tcp " + target + ": connect: " + ErrnoText(errno);
        continue;
      }
      int ready = WaitFor(fd.get(), POLLOUT, deadline_, cancel_);
      if (ready <= 0) {
        last = "dial tcp " + target + ": i/o timeout";
        break;
      }
      int err = 0;
      socklen_t length = sizeof(err);
      getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &length);
      if (err != 0) {
        last = "dial tcp " + target + ": connect: " + ErrnoText(err);
        continue;
      }
      fd_ = std::move(fd);
      freeaddrinfo(result);
      return true;
    }
    freeaddrinfo(result);
    *error = last;
    return false;
  }

  // Addresses are resolved at once; names on a thread of their own, so that a slow name server
  // cannot outlast the deadline. An abandoned lookup finishes on its own and frees its result
  // (the library is never unloaded, see engine/CMakeLists.txt).
  int Resolve(const std::string& host, int port, addrinfo** result) {
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, result) == 0) {
      return 0;
    }
    hints.ai_flags = AI_NUMERICSERV;
    struct Lookup {
      std::mutex mutex;
      std::condition_variable done_cv;
      bool done = false;
      bool abandoned = false;
      int rc = EAI_AGAIN;
      addrinfo* result = nullptr;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, service, hints] {
      addrinfo* found = nullptr;
      int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      if (lookup->abandoned) {
        if (rc == 0) {
          freeaddrinfo(found);
        }
        return;
      }
      lookup->rc = rc;
      lookup->result = rc == 0 ? found : nullptr;
      lookup->done = true;
      lookup->done_cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->done) {
      auto now = Clock::now();
      if (now >= deadline_ || cancel_.load()) {
        lookup->abandoned = true;
        return EAI_AGAIN;
      }
      lookup->done_cv.wait_until(lock, std::min(deadline_, now + std::chrono::milliseconds(50)));
    }
    *result = lookup->result;
    return lookup->rc;
  }

  bool Send(const std::string& data, std::string* error) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = send(fd_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (WaitFor(fd_.get(), POLLOUT, deadline_, cancel_) <= 0) {
          *error = "write: i/o timeout";
          return false;
        }
        continue;
      }
      *error = "write: " + ErrnoText(errno);
      return false;
    }
    return true;
  }

  // Reads until `count` bytes arrived or, with count 0, until the end of an HTTP header.
  bool Receive(size_t count, std::string* data, std::string* error) {
    char buffer[1024];
    for (;;) {
      if (count > 0 ? data->size() >= count : data->find("\r\n\r\n") != std::string::npos) {
        return true;
      }
      if (data->size() > 16384) {
        *error = "read: response too long";
        return false;
      }
      size_t want = count > 0 ? std::min(sizeof(buffer), count - data->size()) : 1;
      ssize_t n = recv(fd_.get(), buffer, want, 0);
      if (n > 0) {
        data->append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) {
        *error = "read: EOF";
        return false;
      }
      if (errno == EAGAIN || errno == EINTR) {
        if (WaitFor(fd_.get(), POLLIN, deadline_, cancel_) <= 0) {
          *error = "read: i/o timeout";
          return false;
        }
        continue;
      }
      *error = "read: " + ErrnoText(errno);
      return false;
    }
  }

 private:
  Clock::time_point deadline_;
  const std::atomic<bool>& cancel_;
  UniqueFd fd_;
};

// Drives the outbound's own handshake to its end over the probe's connection.
bool Handshake(Probe* probe, ProxyClient* client, std::string* error) {
  std::string input;
  if (!probe->Send(client->Start(), error)) {
    return false;
  }
  while (true) {
    if (!probe->Receive(input.size() + 1, &input, error)) {
      return false;
    }
    size_t consumed = 0;
    std::string reply;
    ProxyClient::Status status = client->Feed(input, &consumed, &reply);
    if (status == ProxyClient::Status::kFailed) {
      *error = client->error();
      return false;
    }
    if (status == ProxyClient::Status::kDone) {
      return true;
    }
    input.erase(0, consumed);
    if (!reply.empty() && !probe->Send(reply, error)) {
      return false;
    }
  }
}

}  // namespace

bool SplitUrl(const std::string& url, std::string* host, int* port) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) {
    return false;
  }
  std::string scheme = url.substr(0, scheme_end);
  int default_port = scheme == "https" ? 443 : scheme == "http" ? 80 : 0;
  if (default_port == 0) {
    return false;
  }
  std::string authority = url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (size_t at = authority.rfind('@'); at != std::string::npos) {
    authority = authority.substr(at + 1);
  }
  if (authority.empty()) {
    return false;
  }
  bool bracketed = authority.front() == '[';
  size_t close = bracketed ? authority.find(']') : std::string::npos;
  size_t colon = bracketed
                     ? (close == std::string::npos ? std::string::npos : authority.find(':', close))
                     : authority.rfind(':');
  if (colon == std::string::npos) {
    *host = bracketed ? authority.substr(1, close - 1) : authority;
    *port = default_port;
    return !host->empty();
  }
  return SplitHostPort(authority, host, port) && !host->empty();
}

ProbeResult ProbeOutbound(const OutboundOptions& outbound,
                          const std::string& test_url,
                          int timeout_ms,
                          const std::atomic<bool>& cancel) {
  ProbeResult result;
  const auto start = Clock::now();
  Probe probe(timeout_ms, cancel);
  std::string url_host;
  int url_port = 0;
  bool url_ok = SplitUrl(test_url, &url_host, &url_port);
  bool ok = false;
  if (outbound.type == "block") {
    result.error = "blocked";
  } else if (outbound.type == "direct") {
    if (!url_ok) {
      result.error = "parse url " + test_url + ": invalid";
    } else {
      ok = probe.Connect(url_host, url_port, &result.error);
    }
  } else if (outbound.server.empty() || outbound.server_port == 0) {
    result.error = "missing server address";
  } else if (probe.Connect(outbound.server, outbound.server_port, &result.error)) {
    if (outbound.type == "socks" && (outbound.version.empty() || outbound.version == "5")) {
      // The greeting, and the credentials when there are any: a node that refuses them is down.
      ProxyClient client(ProxyClient::Kind::kSocks5, outbound.username, outbound.password, "", 0,
                         /*greeting_only=*/true);
      ok = Handshake(&probe, &client, &result.error);
    } else if (outbound.type == "http" && !outbound.tls) {
      ProxyClient client(ProxyClient::Kind::kHttpConnect, outbound.username, outbound.password,
                         url_host, static_cast<uint16_t>(url_port));
      ok = url_ok && Handshake(&probe, &client, &result.error);
      if (!url_ok) {
        result.error = "parse url " + test_url + ": invalid";
      }
    } else {
      ok = true;
    }
  }
  const auto end = Clock::now();
  if (end >= probe.deadline()) {
    result.status = ProbeStatus::kTimeout;
    if (result.error.empty()) {
      result.error = "context deadline exceeded";
    }
    return result;
  }
  if (!ok) {
    result.status = ProbeStatus::kFailed;
    return result;
  }
  result.status = ProbeStatus::kOk;
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
  // A loopback connect takes microseconds, and a zero delay reads as failure to clients.
  result.delay_ms = static_cast<int>(std::max<long long>(1, std::min<long long>(elapsed, 65535)));
  return result;
}

}  // namespace box
