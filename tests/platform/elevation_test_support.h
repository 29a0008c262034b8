#ifndef TESTS_PLATFORM_ELEVATION_TEST_SUPPORT_H_
#define TESTS_PLATFORM_ELEVATION_TEST_SUPPORT_H_

// Helpers for the tests of the capability grant and the elevated helper. All of them run inside
// an isolated child (RunIsolated): they change /etc, /usr/local/bin and tool paths only in its
// private mount namespace.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace korvane_test {

// A user known to the private /etc, allowed everything through sudo with kTestPassword.
inline constexpr char kTestUser[] = "kvtest";
inline constexpr uid_t kTestUid = 4000;
inline constexpr char kTestPassword[] = "kv-pass-1";
// Its home, owned by it.
inline constexpr char kTestHome[] = "/tmp/kvhome";

// Adds kTestUser to the private passwd, group and shadow files, a sudoers entry for it, and a
// private /var/lib/sudo; creates its home.
void AddTestUser();

// Mounts an empty tmpfs over /usr/local/bin (so only what the test puts there is found).
void PrivateUsrLocalBin();
// Writes an executable script at `path`.
void WriteScript(const std::string& path, const std::string& body);
// Makes the file at `path` unusable as a program (an empty 0644 file bound over it).
void HideProgram(const std::string& path);

// The stand-in pkexec first on PATH: it appends "pkexec ARGS" (up to and with "-c") to the
// stand-in call log, copies the command after "-c" to /tmp/pkexec-script, then runs `body` (a
// shell fragment; `exec "$@"` runs the command for real, as the test's root).
void InstallPkexec(const std::string& body);

// A directory laid out like an install directory: korvane (a real dynamic executable, copied),
// lib/, data/, data/icudtl.dat and, when `manifest` is not empty, manifest.json. Owned by `uid`.
void MakeInstallDir(const std::string& dir, const std::string& manifest = "", uid_t uid = 0);

// Runs `fn` in a child process as uid/gid `uid` with no groups, after applying `env` ("NAME" =
// value; a value of nullptr-equivalent "\x01unset" removes it). Its exit code is fn's result;
// its standard output and error are returned in *out and *err.
int RunAs(uid_t uid,
          const std::vector<std::pair<std::string, std::string>>& env,
          const std::function<int()>& fn,
          std::string* out,
          std::string* err);
inline constexpr char kUnset[] = "\x01unset";

// getcap's answer for a file ("" without capabilities).
std::string GetCap(const std::string& path);
// The output of a command (standard output only), trailing newline removed.
std::string CommandOutput(const std::string& command);
// Every file below `dir` with its content's digest, one "path digest" line each, sorted.
std::string TreeSnapshot(const std::string& dir);

}  // namespace korvane_test

#endif  // TESTS_PLATFORM_ELEVATION_TEST_SUPPORT_H_
