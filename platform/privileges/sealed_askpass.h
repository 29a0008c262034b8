#ifndef PLATFORM_PRIVILEGES_SEALED_ASKPASS_H_
#define PLATFORM_PRIVILEGES_SEALED_ASKPASS_H_

#include <sys/types.h>

#include <string>

#include "base/scoped_fd.h"

// A password-helper wrapper that no file of the user's holds: its text lives in a sealed
// memory file (no write, grow or shrink), kept open by a small child process that holds no
// capability and nothing else of the host's, so sudo can run it as
// /proc/<child>/fd/0 while nobody can change it. A wrapper written to a file in the user's
// directory could be rewritten by any process of the user between two prompts and capture the
// password.
//
// Threads: any thread (in the host, an elevation worker). The child calls only
// async-signal-safe functions between fork and its end.
namespace korvane {

class SealedAskpass {
 public:
  SealedAskpass() = default;
  // Ends the holder and reaps it.
  ~SealedAskpass();
  SealedAskpass(const SealedAskpass&) = delete;
  SealedAskpass& operator=(const SealedAskpass&) = delete;

  // Seals `text` into a memory file and starts the holder; false (with one line) on failure.
  bool Start(const std::string& text);
  // The path sudo runs: /proc/<holder>/fd/0. Empty before a successful Start.
  const std::string& path() const { return path_; }

 private:
  ScopedFd release_;  // write end of the pipe the holder waits on; closing it ends the holder
  pid_t holder_ = -1;
  std::string path_;
};

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_SEALED_ASKPASS_H_
