// Whole-line diagnostics from many threads, and the thread-safe errno text.
#include "base/log.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

// Points a standard descriptor at a file while alive.
class RedirectFd {
 public:
  RedirectFd(int fd, const std::string& path) : fd_(fd), saved_(dup(fd)) {
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, fd);
    close(file);
  }
  ~RedirectFd() {
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

TEST(LogTest, LinesOfManyThreadsStayWholeAndGoToTheirStream) {
  TempDir dir;
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  // Long lines: a stream flushed in pieces would cut them.
  const std::string padding(3000, '.');
  {
    RedirectFd out(1, dir.path() + "/out");
    RedirectFd err(2, dir.path() + "/err");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &padding] {
        for (int i = 0; i < kLines; ++i) {
          korvane::LogErr() << "[T" << t << "] line " << i << " " << padding << " end";
          if (i % 50 == 0) {
            korvane::LogOut() << "progress " << t << " " << i;
          }
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  std::istringstream err(ReadFile(dir.path() + "/err"));
  std::set<std::string> seen;
  std::string line;
  while (std::getline(err, line)) {
    ASSERT_EQ(line.compare(line.size() - 4, 4, " end"), 0) << line.substr(0, 80);
    ASSERT_EQ(line.find('\n'), std::string::npos);
    seen.insert(line.substr(0, line.find(padding)));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  std::istringstream out(ReadFile(dir.path() + "/out"));
  int progress = 0;
  while (std::getline(out, line)) {
    ASSERT_EQ(line.rfind("progress ", 0), 0u) << line;
    ++progress;
  }
  EXPECT_EQ(progress, kThreads * kLines / 50);
}

TEST(LogTest, ManipulatorsAndErrnoAreKept) {
  TempDir dir;
  {
    RedirectFd err(2, dir.path() + "/err");
    errno = EACCES;
    korvane::LogErr() << "[VPN] handle 0x" << std::hex << 255 << std::dec << " " << 10;
    EXPECT_EQ(errno, EACCES);
  }
  EXPECT_EQ(ReadFile(dir.path() + "/err"), "[VPN] handle 0xff 10\n");
}

TEST(LogTest, ErrnoTextIsTheSystemText) {
  EXPECT_EQ(korvane::ErrnoText(ENOENT), "No such file or directory");
  EXPECT_EQ(korvane::ErrnoText(EACCES), "Permission denied");
  EXPECT_FALSE(korvane::ErrnoText(123456).empty());
}

}  // namespace
}  // namespace korvane_test
