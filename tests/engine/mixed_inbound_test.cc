// The mixed inbound against real clients: curl through each proxy mode, raw SOCKS5 and HTTP
// exchanges for the failure replies, many concurrent tunnels, and stop with clients attached.
#include "engine/mixed_inbound.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/unique_fd.h"

extern char** environ;

namespace box {
namespace {

using namespace std::chrono_literals;

constexpr char kTag[] = "mixed-in";
constexpr char kRefusal[] =
    "outbound/vless[hk-01]: the reference engine carries traffic only through direct, block, "
    "socks, http and shadowsocks outbounds";

using Fd = box::UniqueFd;

int CountOpenFds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

bool ToSockaddr(const std::string& host, int port, sockaddr_storage* address, socklen_t* length) {
  std::memset(address, 0, sizeof(*address));
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    *length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

void SetReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = timeout.count() / 1000;
  tv.tv_usec = (timeout.count() % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// A listening socket on host, port 0 (or the given port); listen=false leaves it bound only,
// which makes connects to it fail with "connection refused" while holding the port.
Fd BindSocket(const std::string& host, int port, bool listening, int* bound_port) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!ToSockaddr(host, port, &address, &length)) {
    return Fd();
  }
  Fd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (listening && listen(fd.get(), 512) != 0)) {
    return Fd();
  }
  length = sizeof(address);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  *bound_port =
      ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

bool Ipv6LoopbackWorks() {
  int port = 0;
  return BindSocket("::1", 0, true, &port).valid();
}

// receive_buffer, when not 0, is set before the connect so that it bounds the window.
Fd ConnectTo(const std::string& host, int port, int receive_buffer = 0) {
  sockaddr_storage address;
  socklen_t length = 0;
  if (!ToSockaddr(host, port, &address, &length)) {
    return Fd();
  }
  Fd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.valid() && receive_buffer > 0) {
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  }
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return Fd();
  }
  SetReceiveTimeout(fd.get(), 10s);
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t count = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      return false;
    }
    sent += static_cast<size_t>(count);
  }
  return true;
}

// Reads exactly size bytes, fewer at end of stream, error or time-out.
std::string RecvExact(int fd, size_t size) {
  std::string data(size, '\0');
  size_t received = 0;
  while (received < size) {
    ssize_t count = recv(fd, &data[received], size - received, 0);
    if (count <= 0) {
      break;
    }
    received += static_cast<size_t>(count);
  }
  data.resize(received);
  return data;
}

// Reads to the end of the stream. *ended tells whether the peer closed (or reset) the
// connection rather than the read timing out; *error is the errno that ended it (0 at a close).
std::string RecvAll(int fd, bool* ended = nullptr, int* error = nullptr) {
  std::string data;
  char chunk[16384];
  while (true) {
    ssize_t count = recv(fd, chunk, sizeof(chunk), 0);
    if (count > 0) {
      data.append(chunk, static_cast<size_t>(count));
      continue;
    }
    const int last = count == 0 ? 0 : errno;
    if (ended != nullptr) {
      *ended = last != EAGAIN && last != EWOULDBLOCK;
    }
    if (error != nullptr) {
      *error = last;
    }
    return data;
  }
}

std::string PatternBytes(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) % 251);
  }
  return data;
}

// Accepts connections on a thread and serves each on its own thread.
class TestServer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit TestServer(Handler handler) : handler_(std::move(handler)) {}
  ~TestServer() { Stop(); }

  bool Start(const std::string& host) {
    listener_ = BindSocket(host, 0, true, &port_);
    if (!listener_.valid()) {
      return false;
    }
    accept_thread_ = std::thread([this] { AcceptLoop(); });
    return true;
  }
  int port() const { return port_; }
  int active() const { return active_.load(); }
  // Waits until done() holds, checking again each time a connection ends.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, limit, done);
  }

  void Stop() {
    if (!accept_thread_.joinable()) {
      return;
    }
    // Wakes the blocked accept.
    shutdown(listener_.get(), SHUT_RDWR);
    accept_thread_.join();
    for (std::thread& thread : connection_threads_) {
      thread.join();
    }
    connection_threads_.clear();
    listener_.Reset();
  }

 private:
  void AcceptLoop() {
    while (true) {
      int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        return;
      }
      ++active_;
      connection_threads_.emplace_back([this, fd] {
        Fd client(fd);
        SetReceiveTimeout(fd, 15s);
        handler_(fd);
        client.Reset();
        std::lock_guard<std::mutex> lock(mutex_);
        --active_;
        ended_.notify_all();
      });
    }
  }

  Handler handler_;
  Fd listener_;
  int port_ = 0;
  std::thread accept_thread_;
  std::vector<std::thread> connection_threads_;
  std::atomic<int> active_{0};
  std::mutex mutex_;
  std::condition_variable ended_;
};

// HTTP origin: "/bytes/N" answers N pattern bytes, anything else "hello <path>". Records each
// request head it receives.
class HttpOrigin {
 public:
  HttpOrigin() : server_([this](int fd) { Serve(fd); }) {}
  bool Start(const std::string& host) { return server_.Start(host); }
  int port() const { return server_.port(); }
  std::string last_head() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_.empty() ? std::string() : heads_.back();
  }

 private:
  void Serve(int fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) {
      head.push_back(c);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heads_.push_back(head);
    }
    size_t first_space = head.find(' ');
    size_t second_space = head.find(' ', first_space + 1);
    if (first_space == std::string::npos || second_space == std::string::npos) {
      return;
    }
    std::string path = head.substr(first_space + 1, second_space - first_space - 1);
    std::string body;
    if (path.rfind("/bytes/", 0) == 0) {
      body = PatternBytes(std::stoul(path.substr(7)), 1);
    } else {
      body = "hello " + path;
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body);
  }

  TestServer server_;
  std::mutex mutex_;
  std::vector<std::string> heads_;
};

// Echoes until the client half-closes, then half-closes too.
class EchoServer {
 public:
  EchoServer()
      : server_([](int fd) {
          char chunk[16384];
          while (true) {
            ssize_t count = recv(fd, chunk, sizeof(chunk), 0);
            if (count <= 0 || !SendAll(fd, std::string(chunk, static_cast<size_t>(count)))) {
              break;
            }
          }
          shutdown(fd, SHUT_WR);
        }) {}
  bool Start(const std::string& host) { return server_.Start(host); }
  int port() const { return server_.port(); }
  int active() const { return server_.active(); }
  bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    return server_.WaitUntil(done, limit);
  }

 private:
  TestServer server_;
};

struct CurlResult {
  int exit_code = -1;
  std::string output;
};

// Runs the real curl with the proxy variables of the environment removed.
CurlResult RunCurl(const std::vector<std::string>& args) {
  std::vector<std::string> argv_storage = {"curl", "-s", "-S", "--max-time", "30"};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name(*entry, std::strcspn(*entry, "="));
    for (char& c : name) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (name.find("proxy") == std::string::npos) {
      envp.push_back(*entry);
    }
  }
  envp.push_back(nullptr);

  CurlResult result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  Fd out(pipe_fds[0]);
  if (spawned != 0) {
    return result;
  }
  char chunk[65536];
  ssize_t count;
  while ((count = read(out.get(), chunk, sizeof(chunk))) > 0) {
    result.output.append(chunk, static_cast<size_t>(count));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The log lines the inbound emits, from any thread.
class LogCapture {
 public:
  void Add(const std::string& level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(level + " " + message);
    changed_.notify_all();
  }
  // Waits a little for a line with this level containing text.
  bool Has(const std::string& level, const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return Find(level, text) > 0; });
  }
  size_t Count(const std::string& level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Find(level, text);
  }
  bool WaitCount(const std::string& level, const std::string& text, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return Find(level, text) >= count; });
  }
  std::string All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& line : lines_) {
      all += line + "\n";
    }
    return all;
  }

 private:
  size_t Find(const std::string& level, const std::string& text) const {
    size_t found = 0;
    for (const std::string& line : lines_) {
      if (line.rfind(level + " ", 0) == 0 && line.find(text) != std::string::npos) {
        ++found;
      }
    }
    return found;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class MixedInboundTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(origin_.Start("127.0.0.1")); }
  void TearDown() override { inbound_.reset(); }

  // Creates and starts an inbound; the fixture owns it.
  MixedInbound* StartInbound(const std::string& listen = "127.0.0.1") {
    MixedInboundOptions options;
    options.tag = kTag;
    options.listen = listen;
    std::string error;
    inbound_ = MixedInbound::Create(
        options,
        [this](const std::string& level, const std::string& message) { logs_.Add(level, message); },
        [this](const RouteRequest&) {
          std::lock_guard<std::mutex> lock(route_mutex_);
          RoutePlan plan;
          plan.refusal = refusal_;
          return plan;
        },
        &error);
    EXPECT_NE(inbound_, nullptr) << error;
    if (inbound_ == nullptr) {
      return nullptr;
    }
    EXPECT_TRUE(inbound_->Start(&error)) << error;
    return inbound_.get();
  }

  void Refuse(const std::string& reason) {
    std::lock_guard<std::mutex> lock(route_mutex_);
    refusal_ = reason;
  }

  // A connection through the inbound's SOCKS5 side, or empty when the handshake fails.
  Fd Socks5Tunnel(const std::string& target_ip, int target_port, int receive_buffer = 0) {
    Fd fd = ConnectTo("127.0.0.1", inbound_->port(), receive_buffer);
    if (!fd.valid() || !SendAll(fd.get(), std::string("\x05\x01\x00", 3)) ||
        RecvExact(fd.get(), 2) != std::string("\x05\x00", 2)) {
      return Fd();
    }
    in_addr ip{};
    inet_pton(AF_INET, target_ip.c_str(), &ip);
    std::string request("\x05\x01\x00\x01", 4);
    request.append(reinterpret_cast<const char*>(&ip), 4);
    request.push_back(static_cast<char>(target_port >> 8));
    request.push_back(static_cast<char>(target_port & 0xff));
    if (!SendAll(fd.get(), request)) {
      return Fd();
    }
    std::string reply = RecvExact(fd.get(), 10);
    if (reply.size() != 10 || reply[1] != 0) {
      return Fd();
    }
    return fd;
  }

  // A connection through the inbound's HTTP CONNECT side, or empty when refused.
  Fd HttpTunnel(const std::string& authority) {
    Fd fd = ConnectTo("127.0.0.1", inbound_->port());
    if (!fd.valid() || !SendAll(fd.get(), "CONNECT " + authority +
                                              " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n")) {
      return Fd();
    }
    const std::string expected = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (RecvExact(fd.get(), expected.size()) != expected) {
      return Fd();
    }
    return fd;
  }

  HttpOrigin origin_;
  LogCapture logs_;
  std::mutex route_mutex_;
  std::string refusal_;
  std::unique_ptr<MixedInbound> inbound_;
};

// curl fetches a page through every mode: the HTTP proxy's absolute-URI form and CONNECT
// tunnel, SOCKS5 with names, IPv4 and IPv6 addresses, and a proxy listening on IPv6.
TEST_F(MixedInboundTest, CurlFetchesThroughEveryProxyMode) {
  bool ipv6 = Ipv6LoopbackWorks();
  HttpOrigin origin6;
  if (ipv6) {
    ASSERT_TRUE(origin6.Start("::1"));
  }
  struct Case {
    const char* name;
    const char* listen;             // the inbound's address
    bool origin_v6;                 // the page is served on ::1
    std::vector<std::string> args;  // "P" is the proxy's port, "URL" the page
    const char* url_host;           // host of the page's URL
    const char* logged_host;        // the target the inbound logs
    bool rewritten;                 // the inbound forwards the request itself
  };
  const std::vector<Case> cases = {
      {"http absolute-URI",
       "127.0.0.1",
       false,
       {"--proxy", "http://127.0.0.1:P", "URL"},
       "127.0.0.1",
       "127.0.0.1",
       true},
      {"http CONNECT",
       "127.0.0.1",
       false,
       {"-p", "--proxy", "http://127.0.0.1:P", "URL"},
       "127.0.0.1",
       "127.0.0.1",
       false},
      {"socks5 host name",
       "127.0.0.1",
       false,
       {"--socks5-hostname", "127.0.0.1:P", "URL"},
       "localhost",
       "localhost",
       false},
      {"socks5 IPv4",
       "127.0.0.1",
       false,
       {"--socks5", "127.0.0.1:P", "URL"},
       "127.0.0.1",
       "127.0.0.1",
       false},
      {"socks5 IPv6",
       "127.0.0.1",
       true,
       {"--socks5", "127.0.0.1:P", "URL"},
       "[::1]",
       "[::1]",
       false},
      {"http absolute-URI to IPv6",
       "127.0.0.1",
       true,
       {"--proxy", "http://127.0.0.1:P", "URL"},
       "[::1]",
       "[::1]",
       true},
      {"socks5 on an IPv6 listener",
       "::1",
       false,
       {"--socks5-hostname", "[::1]:P", "URL"},
       "localhost",
       "localhost",
       false},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool needs_v6 = c.origin_v6 || std::string(c.listen) == "::1";
    if (needs_v6 && !ipv6) {
      skipped += std::string(skipped.empty() ? "" : ", ") + "\"" + c.name + "\"";
      continue;
    }
    MixedInbound* inbound = StartInbound(c.listen);
    ASSERT_NE(inbound, nullptr);
    HttpOrigin& origin = c.origin_v6 ? origin6 : origin_;
    std::string url =
        "http://" + std::string(c.url_host) + ":" + std::to_string(origin.port()) + "/hello";
    std::vector<std::string> args;
    for (std::string arg : c.args) {
      size_t p = arg.find(":P");
      if (p != std::string::npos) {
        arg.replace(p, 2, ":" + std::to_string(inbound->port()));
      }
      args.push_back(arg == "URL" ? url : arg);
    }
    CurlResult result = RunCurl(args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, "hello /hello");
    std::string head = origin.last_head();
    EXPECT_EQ(head.rfind("GET /hello HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_EQ(head.find("Proxy-"), std::string::npos) << head;
    if (c.rewritten) {
      EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << head;
    }
    std::string target = std::string(c.logged_host) + ":" + std::to_string(origin.port());
    EXPECT_TRUE(logs_.Has("INFO", "] inbound/mixed[mixed-in]: inbound connection to " + target))
        << logs_.All();
    inbound_.reset();
  }
  if (!skipped.empty()) {
    // After the IPv4 cases have run, so they still count.
    GTEST_SKIP() << "no IPv6 loopback here; not run: " << skipped;
  }
}

// Large bodies arrive whole through both proxy kinds (the relay's buffers fill and drain).
TEST_F(MixedInboundTest, LargeDownloadsArriveWhole) {
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  const size_t kSize = 8 * 1024 * 1024;
  std::string url =
      "http://127.0.0.1:" + std::to_string(origin_.port()) + "/bytes/" + std::to_string(kSize);
  std::string proxy = "127.0.0.1:" + std::to_string(inbound->port());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--proxy", "http://" + proxy, url},
        std::vector<std::string>{"--socks5", proxy, url}}) {
    CurlResult result = RunCurl(args);
    EXPECT_EQ(result.exit_code, 0) << args[0];
    EXPECT_TRUE(result.output == PatternBytes(kSize, 1))
        << args[0] << " got " << result.output.size() << " bytes";
  }
}

// A route that refuses the direct relay gets 502 with the reason on the HTTP side and "not
// allowed by ruleset" on the SOCKS side, and an error line in the log.
TEST_F(MixedInboundTest, RefusedRouteAnswersBadGatewayAndNotAllowed) {
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  Refuse(kRefusal);
  std::string url = "http://127.0.0.1:" + std::to_string(origin_.port()) + "/hello";
  CurlResult result = RunCurl({"--proxy", "http://127.0.0.1:" + std::to_string(inbound->port()),
                               "-w", "\n%{http_code}", url});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, std::string(kRefusal) + "\n\n502");

  Fd fd = ConnectTo("127.0.0.1", inbound->port());
  ASSERT_TRUE(fd.valid());
  ASSERT_TRUE(SendAll(fd.get(), std::string("\x05\x01\x00", 3)));
  EXPECT_EQ(RecvExact(fd.get(), 2), std::string("\x05\x00", 2));
  std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
  request.push_back(static_cast<char>(origin_.port() >> 8));
  request.push_back(static_cast<char>(origin_.port() & 0xff));
  ASSERT_TRUE(SendAll(fd.get(), request));
  std::string reply = RecvAll(fd.get());
  ASSERT_EQ(reply.size(), 10u);
  EXPECT_EQ(reply[1], '\x02');
  EXPECT_TRUE(
      logs_.Has("ERROR", std::string("] connection: open outbound connection: ") + kRefusal))
      << logs_.All();
  EXPECT_EQ(origin_.last_head(), "");
}

// Each SOCKS5 failure gets its reply code and then the end of the connection.
TEST_F(MixedInboundTest, Socks5RepliesWithTheFailureCode) {
  int refused_port = 0;
  Fd closed = BindSocket("127.0.0.1", 0, false, &refused_port);
  ASSERT_TRUE(closed.valid());
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  auto ipv4_request = [](char command, int port) {
    std::string request{'\x05', command, '\x00', '\x01', '\x7f', '\x00', '\x00', '\x01'};
    request.push_back(static_cast<char>(port >> 8));
    request.push_back(static_cast<char>(port & 0xff));
    return request;
  };
  struct Case {
    const char* name;
    std::string greeting;
    std::string method_reply;
    std::string request;
    int reply_code;  // -1: no request is sent
  };
  const std::vector<Case> cases = {
      // Only username/password offered: no acceptable method.
      {"no acceptable method", std::string("\x05\x01\x02", 3), std::string("\x05\xff", 2), "", -1},
      {"BIND", std::string("\x05\x01\x00", 3), std::string("\x05\x00", 2),
       ipv4_request('\x02', origin_.port()), 0x07},
      {"unknown address type", std::string("\x05\x01\x00", 3), std::string("\x05\x00", 2),
       std::string("\x05\x01\x00\x05\x7f\x00\x00\x01\x00\x50", 10), 0x08},
      {"connection refused", std::string("\x05\x01\x00", 3), std::string("\x05\x00", 2),
       ipv4_request('\x01', refused_port), 0x05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fd fd = ConnectTo("127.0.0.1", inbound->port());
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(SendAll(fd.get(), c.greeting));
    EXPECT_EQ(RecvExact(fd.get(), 2), c.method_reply);
    if (c.reply_code >= 0) {
      ASSERT_TRUE(SendAll(fd.get(), c.request));
      std::string reply = RecvExact(fd.get(), 10);
      ASSERT_EQ(reply.size(), 10u);
      EXPECT_EQ(reply[0], '\x05');
      EXPECT_EQ(static_cast<uint8_t>(reply[1]), c.reply_code);
    }
    bool ended = false;
    EXPECT_EQ(RecvAll(fd.get(), &ended), "");
    EXPECT_TRUE(ended);
  }
  EXPECT_TRUE(logs_.Has("ERROR", "] connection: open outbound connection: dial tcp 127.0.0.1:" +
                                     std::to_string(refused_port) +
                                     ": connect: connection refused"))
      << logs_.All();
}

// SOCKS5 UDP ASSOCIATE: a datagram to a name goes out through the direct outbound and the
// answer comes back with its source address; the relay port takes datagrams only from the host
// that holds the control connection.
TEST_F(MixedInboundTest, Socks5UdpAssociateRelaysTheClientsDatagrams) {
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  auto udp_socket = [](const std::string& host, int* port) {
    sockaddr_storage address;
    socklen_t length = 0;
    ToSockaddr(host, 0, &address, &length);
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    SetReceiveTimeout(fd.get(), 5s);
    return fd;
  };
  int echo_port = 0;
  Fd echo = udp_socket("127.0.0.1", &echo_port);
  Fd control = ConnectTo("127.0.0.1", inbound->port());
  ASSERT_TRUE(SendAll(control.get(),
                      std::string("\x05\x01\x00\x05\x03\x00\x01", 7) + std::string(6, '\0')));
  std::string reply = RecvExact(control.get(), 2 + 10);
  ASSERT_EQ(reply.substr(0, 7), std::string("\x05\x00\x05\x00\x00\x01\x7f", 7));
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  std::memcpy(&relay.sin_addr, reply.data() + 6, 4);
  std::memcpy(&relay.sin_port, reply.data() + 10, 2);

  auto send_from = [&](int fd, const std::string& payload) {
    std::string packet = std::string("\x00\x00\x00\x03\x09", 5) + "localhost";
    packet.push_back(static_cast<char>(echo_port >> 8));
    packet.push_back(static_cast<char>(echo_port & 0xff));
    packet += payload;
    return sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&relay),
                  sizeof(relay)) == static_cast<ssize_t>(packet.size());
  };
  int client_port = 0;
  Fd client = udp_socket("127.0.0.1", &client_port);
  const std::string payload = PatternBytes(20000, 7);
  ASSERT_TRUE(send_from(client.get(), payload));
  std::string received(70000, '\0');
  sockaddr_in from{};
  socklen_t from_length = sizeof(from);
  ssize_t count = recvfrom(echo.get(), received.data(), received.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &from_length);
  ASSERT_EQ(count, static_cast<ssize_t>(payload.size())) << logs_.All();
  EXPECT_TRUE(received.substr(0, payload.size()) == payload);
  ASSERT_EQ(sendto(echo.get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), from_length), 4);
  count = recv(client.get(), received.data(), received.size(), 0);
  std::string expected("\x00\x00\x00\x01\x7f\x00\x00\x01", 8);
  expected.push_back(static_cast<char>(echo_port >> 8));
  expected.push_back(static_cast<char>(echo_port & 0xff));
  EXPECT_EQ(received.substr(0, std::max<ssize_t>(count, 0)), expected + "pong");

  // Another host's datagram to the relay port goes nowhere.
  int stranger_port = 0;
  Fd stranger = udp_socket("127.0.0.2", &stranger_port);
  ASSERT_TRUE(send_from(stranger.get(), "from a stranger"));
  ASSERT_TRUE(send_from(client.get(), "from the client"));
  count = recv(echo.get(), received.data(), received.size(), 0);
  EXPECT_EQ(received.substr(0, std::max<ssize_t>(count, 0)), "from the client");
}

// A successful SOCKS5 CONNECT reports the outgoing connection's local address and relays.
TEST_F(MixedInboundTest, Socks5SuccessReportsBoundAddressAndRelays) {
  EchoServer echo;
  ASSERT_TRUE(echo.Start("127.0.0.1"));
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  Fd fd = ConnectTo("127.0.0.1", inbound->port());
  ASSERT_TRUE(fd.valid());
  // Greeting and request in one write, data right behind them.
  std::string bytes("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
  bytes.push_back(static_cast<char>(echo.port() >> 8));
  bytes.push_back(static_cast<char>(echo.port() & 0xff));
  bytes += "early bytes";
  ASSERT_TRUE(SendAll(fd.get(), bytes));
  EXPECT_EQ(RecvExact(fd.get(), 2), std::string("\x05\x00", 2));
  std::string reply = RecvExact(fd.get(), 10);
  ASSERT_EQ(reply.size(), 10u);
  EXPECT_EQ(reply.substr(0, 8), std::string("\x05\x00\x00\x01\x7f\x00\x00\x01", 8));
  EXPECT_NE(reply.substr(8, 2), std::string("\x00\x00", 2));
  EXPECT_EQ(RecvExact(fd.get(), 11), "early bytes");
  shutdown(fd.get(), SHUT_WR);
  bool ended = false;
  EXPECT_EQ(RecvAll(fd.get(), &ended), "");
  EXPECT_TRUE(ended);
}

// An origin that resets its connection: the client gets every byte the origin sent before the
// reset, then the reset. The client reads nothing until the inbound has dealt with the reset,
// and its small receive window leaves most of the bytes queued in the inbound until then.
TEST_F(MixedInboundTest, OriginResetReachesTheClientAfterEveryByteBeforeIt) {
  // Few enough bytes for the inbound to hand them all to its socket and read on up to the reset
  // with the client idle; more than the client's window, so most stay queued in the inbound.
  const std::string body = PatternBytes(12 * 1024, 5);
  std::atomic<bool> all_acknowledged{false};
  TestServer origin([&](int fd) {
    // Only once the tunnel is up: a reset before that would fail the connect instead.
    char go = 0;
    if (recv(fd, &go, 1, 0) != 1) {
      return;
    }
    SendAll(fd, body);
    // The reset throws away what this side still queues: it goes out once the inbound has
    // acknowledged every byte.
    int queued = -1;
    for (int i = 0; i < 10000 && ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    all_acknowledged = queued == 0;
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  });
  ASSERT_TRUE(origin.Start("127.0.0.1"));
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  Fd client = Socks5Tunnel("127.0.0.1", origin.port(), /*receive_buffer=*/4096);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(SendAll(client.get(), "g"));
  ASSERT_TRUE(logs_.Has("ERROR", "] connection: read from 127.0.0.1:" +
                                     std::to_string(origin.port()) + ": connection reset by peer"))
      << logs_.All();
  // The inbound's one event loop accepts a new connection only after it has finished with the
  // reset, so whatever it does with the queued bytes is done before the client reads.
  Fd barrier = ConnectTo("127.0.0.1", inbound->port());
  ASSERT_TRUE(barrier.valid());
  ASSERT_TRUE(logs_.WaitCount("INFO", "inbound connection from", 2)) << logs_.All();

  int error = 0;
  const std::string received = RecvAll(client.get(), nullptr, &error);
  EXPECT_TRUE(all_acknowledged);
  EXPECT_EQ(received.size(), body.size());
  EXPECT_TRUE(received == body.substr(0, received.size())) << "the bytes differ";
  EXPECT_EQ(error, ECONNRESET) << std::strerror(error);
}

// Malformed requests get 400, unreachable targets 502 naming the dial error.
TEST_F(MixedInboundTest, HttpFailuresGetStatusAndReason) {
  int refused_port = 0;
  Fd closed = BindSocket("127.0.0.1", 0, false, &refused_port);
  ASSERT_TRUE(closed.valid());
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  std::string refused = "127.0.0.1:" + std::to_string(refused_port);
  std::string dial_error = "dial tcp " + refused + ": connect: connection refused";
  struct Case {
    std::string request;
    std::string status_line;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", "http: malformed request line\n"},
      {"GET /relative HTTP/1.1\r\nHost: example.com\r\n\r\n", "HTTP/1.1 400 Bad Request",
       "http: request target is not an absolute http URI\n"},
      {"CONNECT example.com HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request",
       "http: malformed CONNECT target\n"},
      {"GET http://x/ HTTP/1.1\r\nno colon here\r\n\r\n", "HTTP/1.1 400 Bad Request",
       "http: malformed header line\n"},
      {"CONNECT " + refused + " HTTP/1.1\r\n\r\n", "HTTP/1.1 502 Bad Gateway", dial_error + "\n"},
      {"GET http://" + refused + "/x HTTP/1.1\r\nHost: " + refused + "\r\n\r\n",
       "HTTP/1.1 502 Bad Gateway", dial_error + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    Fd fd = ConnectTo("127.0.0.1", inbound->port());
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(SendAll(fd.get(), c.request));
    bool ended = false;
    std::string response = RecvAll(fd.get(), &ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(response.substr(0, response.find("\r\n")), c.status_line);
    size_t body = response.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(response.substr(body + 4), c.body);
    EXPECT_NE(response.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"),
              std::string::npos);
  }
  // The loop may log just after it has closed the client's connection.
  logs_.WaitCount("ERROR", "] connection: open outbound connection: " + dial_error, 2);
  EXPECT_EQ(logs_.Count("ERROR", "] connection: open outbound connection: " + dial_error), 2u)
      << logs_.All();
}

// A taken port fails at create with the engine's text; the started log names the address.
TEST_F(MixedInboundTest, ListenFailuresAndStartedLine) {
  struct Case {
    const char* listen;
    const char* network;
    const char* shown;  // the address as the text shows it
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "tcp", "127.0.0.1"},
      {"0.0.0.0", "tcp4", "0.0.0.0"},
      {"::1", "tcp", "[::1]"},
  };
  bool ipv6 = Ipv6LoopbackWorks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    if (std::string(c.listen) == "::1" && !ipv6) {
      continue;
    }
    int port = 0;
    Fd taken = BindSocket(c.listen, 0, true, &port);
    ASSERT_TRUE(taken.valid());
    MixedInboundOptions options;
    options.tag = kTag;
    options.listen = c.listen;
    options.listen_port = port;
    std::string error;
    EXPECT_EQ(MixedInbound::Create(options, nullptr, nullptr, &error), nullptr);
    EXPECT_EQ(error, std::string("listen ") + c.network + " " + c.shown + ":" +
                         std::to_string(port) + ": bind: address already in use");

    // Once the port is free the same options work and say where they listen.
    taken.Reset();
    auto inbound = MixedInbound::Create(
        options,
        [this](const std::string& level, const std::string& message) { logs_.Add(level, message); },
        nullptr, &error);
    ASSERT_NE(inbound, nullptr) << error;
    EXPECT_EQ(inbound->port(), port);
    ASSERT_TRUE(inbound->Start(&error)) << error;
    EXPECT_TRUE(logs_.Has("INFO", std::string("inbound/mixed[mixed-in]: tcp server started at ") +
                                      c.shown + ":" + std::to_string(port)));
  }
  MixedInboundOptions bad_port;
  bad_port.listen_port = 70000;
  std::string error;
  EXPECT_EQ(MixedInbound::Create(bad_port, nullptr, nullptr, &error), nullptr);
  EXPECT_EQ(error, "listen tcp 127.0.0.1:70000: invalid port");
}

// A target that never answers the connect gives up after the connect timeout: 502 with
// "i/o timeout" for HTTP, "host unreachable" for SOCKS5. The target is a listener whose accept
// queue is full, so the kernel drops further connection attempts.
TEST_F(MixedInboundTest, UnansweredConnectTimesOut) {
  int port = 0;
  Fd full = BindSocket("127.0.0.1", 0, false, &port);
  ASSERT_TRUE(full.valid());
  ASSERT_EQ(listen(full.get(), 0), 0);
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    sockaddr_storage address;
    socklen_t length = 0;
    ToSockaddr("127.0.0.1", port, &address, &length);
    Fd filler(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(filler.get(), reinterpret_cast<sockaddr*>(&address), length);
    fillers.push_back(std::move(filler));
  }
  // A backlog of 0 holds one connection: the queue is full once the listener is readable.
  pollfd queued{full.get(), POLLIN, 0};
  ASSERT_EQ(poll(&queued, 1, 10000), 1);
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  std::string target = "127.0.0.1:" + std::to_string(port);

  Fd http = ConnectTo("127.0.0.1", inbound->port());
  Fd socks = ConnectTo("127.0.0.1", inbound->port());
  ASSERT_TRUE(http.valid() && socks.valid());
  ASSERT_TRUE(SendAll(http.get(), "CONNECT " + target + " HTTP/1.1\r\n\r\n"));
  std::string request("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01", 11);
  request.push_back(static_cast<char>(port >> 8));
  request.push_back(static_cast<char>(port & 0xff));
  ASSERT_TRUE(SendAll(socks.get(), request));

  std::string response = RecvAll(http.get());
  EXPECT_EQ(response.substr(0, response.find("\r\n")), "HTTP/1.1 502 Bad Gateway");
  EXPECT_NE(response.find("\r\n\r\ndial tcp " + target + ": i/o timeout\n"), std::string::npos)
      << response;
  std::string reply = RecvAll(socks.get());
  ASSERT_EQ(reply.size(), 12u);  // method reply and request reply
  EXPECT_EQ(reply[3], '\x04');
  const std::string timeout_line =
      "] connection: open outbound connection: dial tcp " + target + ": i/o timeout";
  // The loop may log just after it has closed the client's connection.
  logs_.WaitCount("ERROR", timeout_line, 2);
  EXPECT_EQ(logs_.Count("ERROR", timeout_line), 2u) << logs_.All();
}

// Start twice, start after stop and repeated stops are refused or harmless.
TEST_F(MixedInboundTest, StartAndStopOrder) {
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  std::string error;
  EXPECT_FALSE(inbound->Start(&error));
  EXPECT_EQ(error, "inbound/mixed[mixed-in]: already started");
  int port = inbound->port();
  inbound->Stop();
  inbound->Stop();
  EXPECT_FALSE(inbound->Start(&error));
  EXPECT_EQ(error, "inbound/mixed[mixed-in]: already closed");
  EXPECT_FALSE(ConnectTo("127.0.0.1", port).valid());
}

// 200 tunnels open at once, half over SOCKS5 and half over HTTP CONNECT, each carrying its own
// bytes to an echo server and back; the client's half-close reaches the server and the
// server's comes back.
TEST_F(MixedInboundTest, ManyConcurrentTunnelsCarryTheirOwnBytes) {
  EchoServer echo;
  ASSERT_TRUE(echo.Start("127.0.0.1"));
  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  constexpr int kThreads = 10;
  constexpr int kPerThread = 20;
  constexpr size_t kBytes = 48 * 1024;
  std::mutex mutex;
  std::condition_variable all_open;
  int opened = 0;
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<Fd> tunnels;
      for (int i = 0; i < kPerThread; ++i) {
        tunnels.push_back(i % 2 == 0 ? Socks5Tunnel("127.0.0.1", echo.port())
                                     : HttpTunnel("127.0.0.1:" + std::to_string(echo.port())));
      }
      {
        // Every tunnel is open before any carries data.
        std::unique_lock<std::mutex> lock(mutex);
        ++opened;
        all_open.notify_all();
        all_open.wait_for(lock, 60s, [&] { return opened == kThreads; });
      }
      for (int i = 0; i < kPerThread; ++i) {
        if (tunnels[i].valid()) {
          SendAll(tunnels[i].get(), PatternBytes(kBytes, static_cast<unsigned>(t * 100 + i)));
          shutdown(tunnels[i].get(), SHUT_WR);
        }
      }
      for (int i = 0; i < kPerThread; ++i) {
        if (!tunnels[i].valid()) {
          continue;
        }
        bool ended = false;
        std::string back = RecvAll(tunnels[i].get(), &ended);
        if (ended && back == PatternBytes(kBytes, static_cast<unsigned>(t * 100 + i))) {
          ++correct;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(correct.load(), kThreads * kPerThread);
  logs_.WaitCount(
      "INFO", "inbound/mixed[mixed-in]: inbound connection from 127.0.0.1:", kThreads * kPerThread);
  EXPECT_EQ(logs_.Count("INFO", "inbound/mixed[mixed-in]: inbound connection from 127.0.0.1:"),
            static_cast<size_t>(kThreads * kPerThread));
}

// Stop ends every client's connection whatever its stage, and create/start/stop cycles leave
// no descriptor and no listening socket behind.
TEST_F(MixedInboundTest, StopClosesClientsAndLeavesNoDescriptor) {
  EchoServer echo;
  ASSERT_TRUE(echo.Start("127.0.0.1"));
  int before = CountOpenFds();

  MixedInbound* inbound = StartInbound();
  ASSERT_NE(inbound, nullptr);
  int port = inbound->port();
  std::vector<Fd> clients;
  clients.push_back(Socks5Tunnel("127.0.0.1", echo.port()));
  clients.push_back(HttpTunnel("127.0.0.1:" + std::to_string(echo.port())));
  ASSERT_TRUE(clients[0].valid());
  ASSERT_TRUE(clients[1].valid());
  // Enough bytes both ways for the tunnel to move on to its bulk path (pipes) before stop.
  const std::string bulk = PatternBytes(2 * 1024 * 1024, 7);
  std::thread sender([&] { SendAll(clients[0].get(), bulk); });
  EXPECT_TRUE(RecvExact(clients[0].get(), bulk.size()) == bulk);
  sender.join();
  clients.push_back(ConnectTo("127.0.0.1", port));  // half a greeting
  ASSERT_TRUE(SendAll(clients.back().get(), std::string("\x05", 1)));
  clients.push_back(ConnectTo("127.0.0.1", port));  // half a request head
  ASSERT_TRUE(SendAll(clients.back().get(), "GET http://127.0.0.1/"));
  clients.push_back(ConnectTo("127.0.0.1", port));  // silent
  ASSERT_TRUE(logs_.WaitCount("INFO", "inbound connection from", clients.size()));

  inbound_->Stop();
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(i);
    bool ended = false;
    RecvAll(clients[i].get(), &ended);
    EXPECT_TRUE(ended);
  }
  clients.clear();
  inbound_.reset();

  for (int cycle = 0; cycle < 200; ++cycle) {
    inbound = StartInbound();
    ASSERT_NE(inbound, nullptr);
    Fd client = Socks5Tunnel("127.0.0.1", echo.port());
    EXPECT_TRUE(client.valid());
    int cycle_port = inbound->port();
    inbound_.reset();
    EXPECT_FALSE(ConnectTo("127.0.0.1", cycle_port).valid());
  }
  // The echo server's side of each tunnel ends once the inbound has closed it. Under load the
  // echo server may accept the last tunnel's connection only after the inbound has stopped, so
  // wait for its descriptors to go too; a descriptor the inbound leaked never goes.
  EXPECT_TRUE(echo.WaitUntil([&] { return echo.active() == 0 && CountOpenFds() == before; }, 20s))
      << echo.active() << " echo connections, " << CountOpenFds() << " descriptors, " << before
      << " before";
}

}  // namespace
}  // namespace box
