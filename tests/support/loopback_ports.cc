#include "tests/support/loopback_ports.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace korvane_test {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

namespace {

// Claims of ports by live test processes: one file per port holding the claimer's pid.
constexpr char kClaimDirectory[] = "/tmp/korvane-test-ports";
// Ports are taken from here up to the start of the kernel's range for outgoing connections.
constexpr int kFirstPort = 12000;

// The first port the kernel may give an outgoing connection as its source port.
int FirstEphemeralPort() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low ? low : 32768;
}

bool CanBind(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address = Loopback(port);
  bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return bound;
}

std::vector<std::string>& Claims() {
  static std::vector<std::string> claims;
  return claims;
}

// At exit the process gives its claims back (a forked child that exits leaves them to the
// parent).
void ReleaseClaims() {
  const std::string self = std::to_string(getpid());
  for (const std::string& path : Claims()) {
    std::ifstream claim(path);
    std::string holder;
    if (claim >> holder && holder == self) {
      unlink(path.c_str());
    }
  }
}

bool ProcessLives(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Claims `port` for this process unless a live process holds it. A claim left by a dead process
// is taken over.
bool Claim(int port) {
  const std::string path = std::string(kClaimDirectory) + "/" + std::to_string(port);
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const std::string pid = std::to_string(getpid());
      bool written = write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
      close(fd);
      if (Claims().empty()) {
        atexit(ReleaseClaims);
      }
      Claims().push_back(path);
      return written;
    }
    if (errno != EEXIST) {
      return false;
    }
    std::ifstream claim(path);
    pid_t holder = 0;
    if (!(claim >> holder) || ProcessLives(holder)) {
      return false;  // held, or being written right now
    }
    unlink(path.c_str());
  }
  return false;
}

}  // namespace

// Binding port 0 would give a port from the range the kernel also hands out as source ports,
// so a client connecting anywhere could take it before the server under test binds it; and
// two test runs at once could be given the same one. Ports come from below that range instead,
// each claimed by a file under /tmp naming this process, which other test processes respect
// until it exits.
int FreePort() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  const int end = FirstEphemeralPort();
  if (end - kFirstPort < 1000) {
    return -1;
  }
  mkdir(kClaimDirectory, 0777);
  chmod(kClaimDirectory, 01777);  // tests that drop to another user claim ports too
  static std::mt19937 random(static_cast<unsigned>(getpid()) ^
                             static_cast<unsigned>(time(nullptr)));
  std::uniform_int_distribution<int> pick(kFirstPort, end - 1);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = pick(random);
    if (Claim(port)) {
      if (CanBind(port)) {
        return port;
      }
      // Someone outside the tests listens there; the claim stays so no test picks it again.
    }
  }
  return -1;
}

bool IsListening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address = Loopback(port);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

}  // namespace korvane_test
