#ifndef KORVANE_PLATFORM_ELEVATED_HELPER_H_
#define KORVANE_PLATFORM_ELEVATED_HELPER_H_

#include <sys/types.h>

#include <string>

// Grants an executable the network capability through a root script run with `sudo -A` (when a
// password helper is installed) or `pkexec`, then waits for the capability to appear on disk.
// Used by PlatformService's capability grant and elevation request; not for other units.
//
// Threads: any thread (in the host, a worker thread); no state is kept between calls. The calls
// block while the user answers a password prompt (up to about three minutes per attempt).
class ElevatedHelper {
 public:
  // True when the target (the capability wrapper beside the executable, else the executable)
  // ends up with CAP_NET_ADMIN permitted and effective. Every temporary script written is
  // removed before it returns.
  static bool ElevatedPatchelfAndSetcap(const std::string& path);
  // The first installed graphical password helper, or empty.
  static std::string FindAskpass();
  // Writes `content` into a new 0700 file named `name`.XXXXXX in the first private helper
  // directory that passes the checks; its path, or empty on failure (with its lines).
  static std::string WritePrivateHelperScript(const std::string& name, const std::string& content);
  // Polls the target's capability and the helper child; terminates the child once the
  // capability is there or the wait is over. True when the target got the capability.
  static bool WaitForSetcapOrCapability(pid_t pid,
                                        const std::string& target,
                                        const std::string& label);
  // SIGTERM, then SIGKILL, reaping in between; a child that cannot be signalled (it runs as
  // root) is abandoned with one line.
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

#endif  // KORVANE_PLATFORM_ELEVATED_HELPER_H_
