// Runs engine services in a process of its own, for tests that put it in a private network
// namespace or drop its privileges. Prints "key: value" lines for the test to check.
//
//   engine_test_helper once CONFIG [INTERFACE]   create, start, show the descriptors it opened
//                                                and INTERFACE, stop
//   engine_test_helper cycles CONFIG N INTERFACE  N create/start/stop cycles, then leftovers
//   engine_test_helper serve CONFIG               create and start, print "serving", stop when
//                                                stdin ends (a test kills it to crash it)
//   engine_test_helper silent-dns CONFIG PATH      with a name server on 127.0.0.1:53 that never
//                                                  answers, GET PATH from the controller (the
//                                                  configuration logs to a file to find it)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tests/engine/libbox_library.h"

namespace {

int CountOpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    count += entry->d_name[0] != '.';
  }
  closedir(dir);
  return count - 1;  // the directory stream itself
}

// The open descriptors with what they refer to, the directory stream's own left out.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> open;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] != '.' && fd != dirfd(dir)) {
      std::error_code error;
      open[fd] = std::filesystem::read_symlink(std::string("/proc/self/fd/") + entry->d_name, error)
                     .string();
    }
  }
  closedir(dir);
  return open;
}

// "descriptor: TARGET close-on-exec|inherited" for each descriptor opened since `before`.
void ShowNewDescriptors(const std::map<int, std::string>& before) {
  for (const auto& [fd, target] : OpenDescriptors()) {
    if (before.count(fd) == 0) {
      const bool closed_on_exec = (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
      printf("descriptor: %s %s\n", target.c_str(), closed_on_exec ? "close-on-exec" : "inherited");
    }
  }
}

// Listening TCP sockets of this network namespace (state 0A in /proc/net/tcp{,6}).
int CountListeningSockets() {
  int count = 0;
  for (const char* path : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      count += state == "0A";
    }
  }
  return count;
}

void Show(const std::string& command) {
  std::string output;
  korvane_test::RunShellCommand(command, &output);
  printf("%s\n", output.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s once|cycles CONFIG ...\n", argv[0]);
    return 2;
  }
  std::string mode = argv[1];
  std::string config = korvane_test::ReadFile(argv[2]);
  auto library = korvane_test::LibboxLibrary::Load();
  // The engine's working directory is the helper's own: relative log outputs land there.
  const std::string working = std::filesystem::current_path().string();
  if (library->setup_libbox("/tmp", working.c_str(), "/tmp") != 0) {
    return 2;
  }
  if (mode == "once") {
    const std::map<int, std::string> before = OpenDescriptors();
    int rc = library->create_service(config.c_str());
    printf("create: %d\nerror: %s\n", rc, library->LastError().c_str());
    if (rc == 0) {
      rc = library->start_service();
      printf("start: %d\nerror: %s\n", rc, library->LastError().c_str());
      ShowNewDescriptors(before);
      if (argc > 3) {
        Show(std::string("ip -o addr show dev ") + argv[3]);
        Show(std::string("ip -o link show dev ") + argv[3]);
      }
      printf("stop: %d\n", library->stop_service());
    }
    if (argc > 3) {
      printf("after-stop: %s\n", if_nametoindex(argv[3]) == 0 ? "absent" : "present");
    }
  } else if (mode == "cycles" && argc > 4) {
    int cycles = atoi(argv[3]);
    // One warm-up cycle: the first start loads lazily initialised parts of the C library.
    library->create_service(config.c_str());
    library->start_service();
    library->stop_service();
    int fds_before = CountOpenDescriptors();
    int failures = 0;
    for (int i = 0; i < cycles; ++i) {
      failures += library->create_service(config.c_str()) != 0;
      failures += library->start_service() != 0;
      failures += library->stop_service() != 0;
    }
    printf("failures: %d\nlast-error: %s\n", failures, library->LastError().c_str());
    printf("extra-descriptors: %d\n", CountOpenDescriptors() - fds_before);
    printf("listening: %d\n", CountListeningSockets());
    printf("after-stop: %s\n", if_nametoindex(argv[4]) == 0 ? "absent" : "present");
  } else if (mode == "serve") {
    int rc = library->create_service(config.c_str());
    if (rc != 0 || library->start_service() != 0) {
      printf("error: %s\n", library->LastError().c_str());
      return 1;
    }
    printf("serving\n");
    fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    library->stop_service();
  } else if (mode == "silent-dns" && argc > 3) {
    // Queries to this socket are received and never answered.
    int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(53);
    if (bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      printf("cannot bind the name server\n");
      return 1;
    }
    int rc = library->create_service(config.c_str());
    printf("create: %d\nerror: %s\n", rc, library->LastError().c_str());
    if (rc != 0 || library->start_service() != 0) {
      return 1;
    }
    std::string log = nlohmann::json::parse(config)["log"]["output"];
    int port = korvane_test::ControllerPortFromLog(korvane_test::ReadFile(log));
    auto begin = std::chrono::steady_clock::now();
    korvane_test::HttpReply reply =
        korvane_test::Http("GET", "http://127.0.0.1:" + std::to_string(port) + argv[3]);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - begin)
                       .count();
    printf("status: %ld\nbody: %s\nelapsed-ms: %lld\n", reply.status, reply.body.c_str(),
           static_cast<long long>(elapsed));
    library->stop_service();
    close(dns);
  } else {
    return 2;
  }
  fflush(stdout);
  return 0;
}
