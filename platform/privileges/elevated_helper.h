#ifndef PLATFORM_PRIVILEGES_ELEVATED_HELPER_H_
#define PLATFORM_PRIVILEGES_ELEVATED_HELPER_H_

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "platform/privileges/elevation_environment.h"

// What one grant copies: filled in by the host's checks before anything runs as root.
struct GrantRequest {
  // The user's executable as given (messages name it so).
  std::string path;
  // `path` canonicalised once, by the caller (korvane::CanonicalPath, which
  // ManagedRuntime::ResolveInstall applies); the install directory copied is its folder. Empty
  // when the path did not resolve: nothing is granted.
  std::filesystem::path binary;
  // The digest of the executable that the host verified; root's copy must have it.
  std::string binary_sha256;
  // The digest of korvane-cap-wrapper when the manifest covers it and the file matches; empty:
  // the wrapper is not granted.
  std::string wrapper_sha256;
};

// Grants the network capability to a root-owned copy of a verified executable (see
// platform/granted_copy.h) through a command run as root by `sudo -A` (when a password helper
// is installed) or `pkexec`, handed over as an argument, then waits for the command to finish.
// Used by PlatformService's capability grant and elevation request; not for other units.
//
// Threads: any thread (in the host, a worker thread); no state is kept between calls, and the
// environment is read only from the ElevationEnvironment given. The calls block while the user
// answers a password prompt (up to about three minutes per attempt).
class ElevatedHelper {
 public:
  // (Named after what root's command ends with: it copies the install, points the copy's run path
  // at its own lib/ and gives the copy the capability; the user's files are never changed.)
  // True when the grant of the request is in place afterwards: the copy of this executable
  // (its wrapper when granted, else korvane) carries CAP_NET_ADMIN permitted and effective.
  static bool ElevatedPatchelfAndSetcap(const GrantRequest& request,
                                        const korvane::ElevationEnvironment& environment);
  // The first installed graphical password helper, or empty.
  static std::string FindAskpass();
  // Follows one helper child: relays the lines of its standard output (read from `output_fd`,
  // -1 for none) to ours, waits for the command's last line and the child's end, and ends the
  // child when the wait is over. True when the grant of `binary_sha256` is in place in
  // `granted_dir`.
  static bool WaitForSetcapOrCapability(pid_t pid,
                                        int output_fd,
                                        const std::filesystem::path& granted_dir,
                                        const std::string& binary_sha256,
                                        const std::string& label);
  // SIGTERM, then SIGKILL, reaping in between; a child that cannot be signalled (it runs as
  // root) is abandoned with one line and reaped by a thread of its own when it ends.
  static void TerminateHelperProcess(pid_t pid);

#ifdef KORVANE_TESTING
  // Defined only in the platform test support library: shortens the waits (rounds of 100 ms).
  static void SetWaitRoundsForTesting(int wait_rounds, int term_reap_rounds, int kill_reap_rounds);
  static void ResetForTesting();
#endif

 private:
  // Rounds of 100 ms: the wait for the helper, then the reaping after SIGTERM and SIGKILL.
  static int wait_rounds_;
  static int term_reap_rounds_;
  static int kill_reap_rounds_;
};

#endif  // PLATFORM_PRIVILEGES_ELEVATED_HELPER_H_
