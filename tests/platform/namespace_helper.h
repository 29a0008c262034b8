#ifndef TESTS_PLATFORM_NAMESPACE_HELPER_H_
#define TESTS_PLATFORM_NAMESPACE_HELPER_H_

// Runs host code that touches /etc, /run or the network in a forked child inside private mount
// and network namespaces, so the machine's own files and interfaces are never changed.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace korvane_test {

// Where the recording stand-ins live inside an isolated child (the child's /tmp is private).
inline constexpr char kStandInDir[] = "/tmp/korvane-standins";
// The stand-ins put first on PATH: they record each call and answer as configured.
inline const std::vector<std::string> kStandInPrograms = {"resolvectl", "nscd", "nmcli", "killall"};

struct TestInterface {
  std::string name;
  // An IPv4 address with prefix ("10.0.0.1/24"); empty: the interface has no address.
  std::string ipv4_cidr;
};

struct Isolation {
  // Content of /etc/resolv.conf; nullopt removes the file.
  std::optional<std::string> resolv_conf = std::string("# test resolver\nnameserver 192.0.2.1\n");
  // Creates /run/systemd/resolve/resolv.conf, the sign of systemd-resolved.
  bool systemd_resolved = false;
  // Created (as TUN devices, in this order) in the private network namespace; lo is set up.
  std::vector<TestInterface> interfaces;
};

// Runs `body` in a forked child: /etc and /var/lib are writable copy-on-write overlays of the
// machine's, /run and /tmp are empty tmpfs, the network namespace is private, and the stand-ins are
// first on PATH. A gtest failure inside `body` fails the calling test (the child reports it when it
// happens); when the namespaces cannot be made the test is skipped (not root) or fails (root).
void RunIsolated(const Isolation& isolation, const std::function<void()>& body);

// Child-side helpers (used inside `body`).

struct Output {
  std::string out;
  std::string err;
};
// What `fn` writes to descriptors 1 and 2.
Output CaptureOutput(const std::function<void()>& fn);

bool FileExists(const std::string& path);

// `program` answers with `code` when called with `first_arg` first ("" for any call).
void SetStandInExit(const std::string& program, const std::string& first_arg, int code);
// `program` prints `text` when called with `first_arg` first.
void SetStandInOutput(const std::string& program,
                      const std::string& first_arg,
                      const std::string& text);
// One entry per stand-in call so far: the program and its arguments joined by single spaces.
std::vector<std::string> StandInCalls();
void ClearStandInCalls();

// Becomes uid and gid 65534 with no groups and no capabilities; false when that fails.
bool DropPrivileges();

}  // namespace korvane_test

#endif  // TESTS_PLATFORM_NAMESPACE_HELPER_H_
