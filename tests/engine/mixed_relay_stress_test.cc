// Large downloads through every mode of the mixed inbound at once, with the origin closing right
// after its last write, slow readers and a CPU-hungry child process: every byte must arrive, in
// order, before a clean end of stream. An origin that aborts its connection instead must never
// look like a complete download to the client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/mixed_inbound.h"

namespace box {
namespace {

constexpr uint64_t kDownloadSize = 96ull << 20;
constexpr int kDownloadsPerMode = 3;
constexpr size_t kChunk = 1 << 20;
constexpr size_t kStampEvery = 4096;
// Long enough for a loaded machine; only a stalled relay gets near it.
constexpr int kStallSeconds = 60;

// The body's pattern and the digest touch only the calling thread's own bytes; left to the
// thread sanitizer they would cost most of the test's time.
#define STRESS_LOCAL_LOOP __attribute__((no_sanitize("thread")))

// The body of one download: a fixed pattern with the stream's seed and each 4 KiB's offset
// stamped in, so a lost, repeated or misplaced block changes the digest as well as the count.
class Body {
 public:
  explicit Body(uint32_t seed) : seed_(seed), chunk_(kChunk) {
    for (size_t i = 0; i < chunk_.size(); ++i) {
      chunk_[i] = static_cast<char>((i * 131 + seed * 17 + i / 509) % 253);
    }
  }
  // The chunk that starts at offset (a multiple of kChunk).
  STRESS_LOCAL_LOOP const std::vector<char>& At(uint64_t offset) {
    for (size_t at = 0; at < chunk_.size(); at += kStampEvery) {
      uint64_t stamp = (offset + at) ^ (static_cast<uint64_t>(seed_) << 40);
      std::memcpy(&chunk_[at], &stamp, sizeof(stamp));
    }
    return chunk_;
  }

 private:
  const uint32_t seed_;
  std::vector<char> chunk_;
};

// A 64-bit running digest over a byte stream's 8-byte words, independent of how the stream is
// split into reads (a trailing partial word is folded in by value()).
class Digest {
 public:
  STRESS_LOCAL_LOOP void Update(const char* data, size_t size) {
    while (size > 0 && (held_ > 0 || size < sizeof(uint64_t))) {
      word_[held_++] = *data++;
      --size;
      if (held_ == sizeof(uint64_t)) {
        Mix(word_);
        held_ = 0;
      }
    }
    for (; size >= sizeof(uint64_t); size -= sizeof(uint64_t), data += sizeof(uint64_t)) {
      Mix(data);
    }
    while (size > 0) {
      word_[held_++] = *data++;
      --size;
    }
  }
  uint64_t value() const {
    uint64_t state = state_;
    for (size_t i = 0; i < held_; ++i) {
      state = (state ^ static_cast<uint8_t>(word_[i])) * 0x100000001b3ull;
    }
    return state;
  }

 private:
  STRESS_LOCAL_LOOP void Mix(const char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof(word));
    state_ = (state_ ^ word) * 0x9e3779b97f4a7c15ull;
    state_ ^= state_ >> 29;
  }

  uint64_t state_ = 0xcbf29ce484222325ull;
  char word_[sizeof(uint64_t)] = {};
  size_t held_ = 0;
};

// The digest of the body's first `size` bytes.
uint64_t ExpectedDigest(uint32_t seed, uint64_t size) {
  Body body(seed);
  Digest digest;
  for (uint64_t offset = 0; offset < size; offset += kChunk) {
    const std::vector<char>& chunk = body.At(offset);
    digest.Update(chunk.data(), static_cast<size_t>(std::min<uint64_t>(kChunk, size - offset)));
  }
  return digest.value();
}

void SetTimeouts(int fd) {
  timeval tv{};
  tv.tv_sec = kStallSeconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool SendAll(int fd, const char* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    ssize_t count = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      return false;
    }
    sent += static_cast<size_t>(count);
  }
  return true;
}
bool SendAll(int fd, const std::string& data) {
  return SendAll(fd, data.data(), data.size());
}

// Reads byte by byte up to and including the blank line, so nothing after it is consumed.
bool ReadHead(int fd, std::string* head) {
  char c;
  while (head->size() < 8192 && head->find("\r\n\r\n") == std::string::npos) {
    if (recv(fd, &c, 1, 0) != 1) {
      return false;
    }
    head->push_back(c);
  }
  return head->find("\r\n\r\n") != std::string::npos;
}

// Serves each connection on its own thread: reads the request head, answers with the body of
// the seed named in the path ("/<seed>" or "/<seed>/abort") and closes the moment the last byte
// is written; "abort" closes with a reset, which throws away what its send queue still holds.
class Origin {
 public:
  Origin() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(listener_, 64) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
      acceptor_ = std::thread([this] { Accept(); });
    }
  }
  ~Origin() {
    shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) {
      acceptor_.join();
    }
    close(listener_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& worker : workers_) {
      worker.join();
    }
  }
  int port() const { return port_; }
  int failures() const { return failures_.load(); }

 private:
  void Accept() {
    while (true) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    SetTimeouts(fd);
    std::string head;
    unsigned seed = 0;
    if (!ReadHead(fd, &head) || std::sscanf(head.c_str(), "GET /%u ", &seed) != 1) {
      ++failures_;
      close(fd);
      return;
    }
    std::string response = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kDownloadSize) +
                           "\r\nConnection: close\r\n\r\n";
    const bool abort = head.find("/abort ") != std::string::npos;
    bool ok = SendAll(fd, response);
    Body body(seed);
    for (uint64_t offset = 0; ok && offset < kDownloadSize; offset += kChunk) {
      const std::vector<char>& chunk = body.At(offset);
      ok = SendAll(fd, chunk.data(), chunk.size());
    }
    if (!ok) {
      ++failures_;
    }
    if (abort) {
      const linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::atomic<int> failures_{0};
};

enum class Mode { kSocks5, kHttpConnect, kHttpAbsolute };

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::kSocks5:
      return "SOCKS5";
    case Mode::kHttpConnect:
      return "HTTP CONNECT";
    case Mode::kHttpAbsolute:
      return "HTTP absolute-form";
  }
  return "";
}

struct Outcome {
  std::string error;  // empty when the exchange went through
  uint64_t body_bytes = 0;
  uint64_t digest = 0;
  bool clean_end = false;  // the stream ended with a FIN rather than a reset or time-out
};

// One download through the inbound, read slowly: small reads and a pause every few MiB so that
// the relay's buffers and the origin's send queue are full when the origin closes.
Outcome Download(Mode mode, int proxy_port, int origin_port, uint32_t seed, bool abort) {
  Outcome outcome;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(proxy_port));
  SetTimeouts(fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    outcome.error = std::string("connect: ") + std::strerror(errno);
    close(fd);
    return outcome;
  }
  const std::string origin = "127.0.0.1:" + std::to_string(origin_port);
  const std::string path = "/" + std::to_string(seed) + (abort ? "/abort" : "");
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  if (mode == Mode::kSocks5) {
    std::string greeting("\x05\x01\x00", 3);
    std::string connect("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
    connect.push_back(static_cast<char>(origin_port >> 8));
    connect.push_back(static_cast<char>(origin_port & 0xff));
    char reply[10];
    if (!SendAll(fd, greeting) || recv(fd, reply, 2, MSG_WAITALL) != 2 || reply[1] != 0 ||
        !SendAll(fd, connect) || recv(fd, reply, 10, MSG_WAITALL) != 10 || reply[1] != 0) {
      outcome.error = "SOCKS5 handshake failed";
    }
  } else if (mode == Mode::kHttpConnect) {
    std::string head;
    if (!SendAll(fd, "CONNECT " + origin + " HTTP/1.1\r\nHost: " + origin + "\r\n\r\n") ||
        !ReadHead(fd, &head) || head.compare(0, 12, "HTTP/1.1 200") != 0) {
      outcome.error = "CONNECT failed: " + head;
    }
  } else {
    request = "GET http://" + origin + path + " HTTP/1.1\r\nHost: " + origin +
              "\r\nProxy-Connection: Keep-Alive\r\n\r\n";
  }
  std::string head;
  if (outcome.error.empty() && (!SendAll(fd, request) || !ReadHead(fd, &head))) {
    outcome.error = "no response head";
  }
  if (outcome.error.empty() &&
      head.find("Content-Length: " + std::to_string(kDownloadSize) + "\r\n") == std::string::npos) {
    outcome.error = "unexpected head: " + head;
  }
  if (!outcome.error.empty()) {
    close(fd);
    return outcome;
  }
  Digest digest;
  std::vector<char> buffer(16 * 1024);
  uint64_t next_pause = 0;
  while (true) {
    ssize_t count = recv(fd, buffer.data(), buffer.size(), 0);
    if (count > 0) {
      digest.Update(buffer.data(), static_cast<size_t>(count));
      outcome.body_bytes += static_cast<uint64_t>(count);
      if (outcome.body_bytes >= next_pause) {
        next_pause += 8 << 20;
        usleep(2000);
      }
      continue;
    }
    if (count == 0) {
      outcome.clean_end = true;
    } else if (errno == EINTR) {
      continue;
    } else {
      outcome.error = std::string("recv: ") + std::strerror(errno);
    }
    break;
  }
  outcome.digest = digest.value();
  close(fd);
  return outcome;
}

// Keeps one core busy in a child process until destroyed.
class CpuLoad {
 public:
  CpuLoad() {
    pid_ = fork();
    if (pid_ == 0) {
      volatile uint64_t spin = 0;
      while (true) {
        spin = spin + 1;
      }
    }
  }
  ~CpuLoad() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_;
};

TEST(MixedRelayStressTest, ConcurrentLargeDownloadsArriveWholeInEveryMode) {
  Origin origin;
  ASSERT_NE(origin.port(), 0);
  std::mutex log_mutex;
  std::vector<std::string> errors;
  MixedInboundOptions options;
  options.tag = "mixed-in";
  std::string error;
  auto inbound = MixedInbound::Create(
      options,
      [&](const std::string& level, const std::string& message) {
        if (level == "ERROR" || level == "WARN") {
          std::lock_guard<std::mutex> lock(log_mutex);
          errors.push_back(level + " " + message);
        }
      },
      nullptr, &error);
  ASSERT_NE(inbound, nullptr) << error;
  ASSERT_TRUE(inbound->Start(&error)) << error;

  const std::vector<Mode> modes = {Mode::kSocks5, Mode::kHttpConnect, Mode::kHttpAbsolute};
  struct Job {
    Mode mode;
    uint32_t seed;
    bool abort;  // the origin resets the connection after its last write
    Outcome outcome;
  };
  std::vector<Job> jobs;
  for (int i = 0; i <= kDownloadsPerMode; ++i) {
    for (Mode mode : modes) {
      jobs.push_back(
          Job{mode, static_cast<uint32_t>(jobs.size() + 1), i == kDownloadsPerMode, Outcome()});
    }
  }

  {
    CpuLoad load;
    ASSERT_TRUE(load.running());
    std::vector<std::thread> clients;
    for (Job& job : jobs) {
      clients.emplace_back([&job, &inbound, &origin] {
        job.outcome = Download(job.mode, inbound->port(), origin.port(), job.seed, job.abort);
      });
    }
    for (std::thread& client : clients) {
      client.join();
    }
  }
  inbound->Stop();

  size_t aborted = 0;
  for (const Job& job : jobs) {
    SCOPED_TRACE(std::string(ModeName(job.mode)) + ", download " + std::to_string(job.seed) +
                 (job.abort ? ", origin resets" : ""));
    // Whatever arrived is the body's beginning, unchanged.
    EXPECT_EQ(job.outcome.digest, ExpectedDigest(job.seed, job.outcome.body_bytes));
    if (job.abort) {
      ++aborted;
      EXPECT_FALSE(job.outcome.clean_end) << job.outcome.body_bytes << " bytes, then a clean end";
      EXPECT_EQ(job.outcome.error, "recv: Connection reset by peer");
    } else {
      EXPECT_EQ(job.outcome.error, "");
      EXPECT_EQ(job.outcome.body_bytes, kDownloadSize);
      EXPECT_TRUE(job.outcome.clean_end);
    }
  }
  EXPECT_EQ(origin.failures(), 0);
  // Each reset is in the log as the engine's error; nothing else is.
  std::lock_guard<std::mutex> lock(log_mutex);
  EXPECT_EQ(errors.size(), aborted);
  for (const std::string& line : errors) {
    EXPECT_NE(line.find("] connection: read from 127.0.0.1:" + std::to_string(origin.port()) +
                        ": connection reset by peer"),
              std::string::npos)
        << line;
  }
}

}  // namespace
}  // namespace box
