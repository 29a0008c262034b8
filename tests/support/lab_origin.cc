// The network lab's own servers, run inside the lab's namespaces.
//
//   lab_origin serve TCP_PORTS UDP_PORT   an HTTP origin on every address of its namespace:
//       GET /whoami        the client's address as the origin sees it
//       GET /bytes/N       N bytes of the lab pattern (tests/support/lab_pattern.h)
//       GET /drip/N        N bytes, 1 KiB every 50 ms (a connection that stays open)
//       POST /upload       "<length> <digest>" of the body
//     and a UDP echo answering "<client address> <payload>".
//   lab_origin delay LISTEN_IP:PORT TARGET_IP:PORT MS   a TCP relay that holds every chunk for
//       MS milliseconds each way: a slow link in front of a server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lab_pattern.h"

namespace {

using korvane_test::kLabDigestStart;
using korvane_test::LabDigest;
using korvane_test::LabPattern;

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendText(int fd, const std::string& text) {
  return SendAll(fd, text.data(), text.size());
}

std::string PeerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
  char text[INET6_ADDRSTRLEN] = {};
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof(text));
  } else {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof(text));
  }
  return text;
}

void Reply(int fd, const std::string& status, const std::string& body) {
  SendText(fd, "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body);
}

void ServeHttp(int fd) {
  std::string head;
  char buffer[65536];
  size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0 || head.size() > 65536) {
      close(fd);
      return;
    }
    head.append(buffer, static_cast<size_t>(n));
  }
  std::string body = head.substr(end + 4);
  head.resize(end);
  std::istringstream line(head.substr(0, head.find("\r\n")));
  std::string method;
  std::string path;
  line >> method >> path;
  if (method == "GET" && path == "/whoami") {
    Reply(fd, "200 OK", PeerAddress(fd));
  } else if (method == "GET" && (path.rfind("/bytes/", 0) == 0 || path.rfind("/drip/", 0) == 0)) {
    const bool drip = path[1] == 'd';
    uint64_t size = std::strtoull(path.c_str() + (drip ? 6 : 7), nullptr, 10);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                     "\r\nConnection: close\r\n\r\n");
    const size_t block = drip ? 1024 : sizeof(buffer);
    for (uint64_t at = 0; at < size;) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(block, size - at));
      LabPattern(at, buffer, piece);
      if (!SendAll(fd, buffer, piece)) {
        break;
      }
      at += piece;
      if (drip) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  } else if (method == "POST" && path == "/upload") {
    std::string lower = head;
    for (char& c : lower) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    size_t at = lower.find("content-length:");
    uint64_t expected =
        at == std::string::npos ? 0 : std::strtoull(lower.c_str() + at + 15, nullptr, 10);
    uint64_t digest = LabDigest(kLabDigestStart, body.data(), body.size());
    uint64_t received = body.size();
    while (received < expected) {
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        break;
      }
      digest = LabDigest(digest, buffer, static_cast<size_t>(n));
      received += static_cast<uint64_t>(n);
    }
    char text[64];
    snprintf(text, sizeof(text), "%llu %016llx", static_cast<unsigned long long>(received),
             static_cast<unsigned long long>(digest));
    Reply(fd, "200 OK", text);
  } else {
    Reply(fd, "404 Not Found", "not found\n");
  }
  shutdown(fd, SHUT_WR);
  while (recv(fd, buffer, sizeof(buffer), 0) > 0) {
  }
  close(fd);
}

int ListenTcp(const sockaddr_in& address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 128) != 0) {
    perror("listen");
    exit(1);
  }
  return fd;
}

void UdpEcho(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    perror("bind udp");
    exit(1);
  }
  char buffer[65536];
  while (true) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    ssize_t n =
        recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    std::string answer = std::string(text) + " " + std::string(buffer, static_cast<size_t>(n));
    sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), length);
  }
}

int Serve(const std::string& ports, int udp_port) {
  std::vector<std::thread> listeners;
  std::stringstream list(ports);
  std::string item;
  while (std::getline(list, item, ',')) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(item.c_str())));
    int listener = ListenTcp(address);
    listeners.emplace_back([listener] {
      while (true) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::thread(ServeHttp, fd).detach();
        }
      }
    });
  }
  if (udp_port > 0) {
    listeners.emplace_back(UdpEcho, udp_port);
  }
  printf("ready\n");
  fflush(stdout);
  for (std::thread& t : listeners) {
    t.join();
  }
  return 0;
}

bool ParseAddress(const char* text, sockaddr_in* address) {
  std::string s = text;
  size_t colon = s.rfind(':');
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(std::atoi(s.c_str() + colon + 1)));
  return colon != std::string::npos &&
         inet_pton(AF_INET, s.substr(0, colon).c_str(), &address->sin_addr) == 1;
}

// Copies from one socket to the other, holding each chunk for `delay` first.
void Pump(int from, int to, std::chrono::milliseconds delay) {
  char buffer[65536];
  while (true) {
    ssize_t n = recv(from, buffer, sizeof(buffer), 0);
    if (n <= 0) {
      break;
    }
    std::this_thread::sleep_for(delay);
    if (!SendAll(to, buffer, static_cast<size_t>(n))) {
      break;
    }
  }
  shutdown(to, SHUT_WR);
}

int Delay(const char* listen_text, const char* target_text, int ms) {
  sockaddr_in listen_address{};
  sockaddr_in target{};
  if (!ParseAddress(listen_text, &listen_address) || !ParseAddress(target_text, &target)) {
    fprintf(stderr, "bad address\n");
    return 2;
  }
  int listener = ListenTcp(listen_address);
  printf("ready\n");
  fflush(stdout);
  while (true) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      continue;
    }
    std::thread([client, target, ms] {
      int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        close(server);
        close(client);
        return;
      }
      std::thread back(Pump, server, client, std::chrono::milliseconds(ms));
      Pump(client, server, std::chrono::milliseconds(ms));
      back.join();
      close(server);
      close(client);
    }).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 4) {
    return Serve(argv[2], std::atoi(argv[3]));
  }
  if (mode == "delay" && argc == 5) {
    return Delay(argv[2], argv[3], std::atoi(argv[4]));
  }
  fprintf(stderr, "usage: %s serve PORTS UDP_PORT | delay LISTEN TARGET MS\n", argv[0]);
  return 2;
}
