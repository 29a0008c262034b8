#include "core/libbox_log_buffer.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// "YYYY-MM-DDTHH:MM:SSZ" and nothing else.
bool IsUtcStamp(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) {
    return false;
  }
  for (size_t i = 0; i < shape.size(); ++i) {
    bool ok = shape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) {
      return false;
    }
  }
  return true;
}

// A log line as the engine writes it.
std::string JsonLine(const std::string& level, const std::string& msg) {
  return "{\"level\":\"" + level + "\",\"ts\":\"2026-01-01T00:00:00Z\",\"msg\":\"" + msg + "\"}\n";
}

class LibboxLogBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    home_.emplace("HOME", getenv("HOME"));
    xdg_.emplace("XDG_CONFIG_HOME", (root_ + "/cfg").c_str());
    base_ = root_ + "/cfg/korvane";
    LibboxLogBuffer::resetForTesting();
  }
  void TearDown() override {
    LibboxLogBuffer::resetForTesting();
    xdg_.reset();
    home_.reset();
  }

  std::string SessionLog() const { return base_ + "/libbox_session.log"; }
  std::string LastCrashLog() const { return base_ + "/libbox_last_crash.log"; }
  std::string CleanMarker() const { return base_ + "/libbox_clean_shutdown"; }
  std::string ActiveMarker() const { return base_ + "/libbox_session_active"; }

  static void ExpectReport(const std::optional<CrashLogResult>& report,
                           const std::optional<CrashLogResult>& expected) {
    ASSERT_EQ(report.has_value(), expected.has_value());
    if (report) {
      EXPECT_EQ(report->summary, expected->summary);
      EXPECT_EQ(report->logCount, expected->logCount);
      EXPECT_EQ(report->lastLogs, expected->lastLogs);
    }
  }

  void ExpectNoFilesLeft() {
    EXPECT_FALSE(Exists(SessionLog()));
    EXPECT_FALSE(Exists(LastCrashLog()));
    EXPECT_FALSE(Exists(CleanMarker()));
    EXPECT_FALSE(Exists(ActiveMarker()));
  }

  std::string root_;
  std::string base_;
  TempDir temp_{"korvane-logbuf"};
  std::optional<ScopedEnv> xdg_;
  std::optional<ScopedEnv> home_;
};

TEST_F(LibboxLogBufferTest, PathsComeFromTheConfigurationDirectory) {
  LibboxLogBuffer& buffer = LibboxLogBuffer::getInstance();
  EXPECT_EQ(&buffer, &LibboxLogBuffer::getInstance());
  EXPECT_EQ(buffer.basePath(), base_);
  EXPECT_EQ(buffer.sessionLogPath(), SessionLog());
  EXPECT_EQ(buffer.lastCrashLogPath(), LastCrashLog());
  EXPECT_EQ(buffer.cleanShutdownMarkerPath(), CleanMarker());
  EXPECT_EQ(buffer.sessionActiveMarkerPath(), ActiveMarker());
  EXPECT_EQ(LibboxLogBuffer::getSessionLogPath(), SessionLog());
  // Construction made the directory (and its missing parent) private.
  EXPECT_EQ(ModeOf(base_), 0700u);
  EXPECT_EQ(ModeOf(root_ + "/cfg"), 0700u);

  // The static path follows the environment at once; the instance after a reset.
  setenv("XDG_CONFIG_HOME", "", 1);
  setenv("HOME", (root_ + "/home").c_str(), 1);
  EXPECT_EQ(LibboxLogBuffer::getSessionLogPath(),
            root_ + "/home/.config/korvane/libbox_session.log");
  EXPECT_EQ(LibboxLogBuffer::getInstance().basePath(), base_);
  LibboxLogBuffer::resetForTesting();
  EXPECT_EQ(LibboxLogBuffer::getInstance().basePath(), root_ + "/home/.config/korvane");
}

TEST_F(LibboxLogBufferTest, InstanceIsCreatedOnceAcrossThreads) {
  std::vector<LibboxLogBuffer*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &LibboxLogBuffer::getInstance(); });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (LibboxLogBuffer* p : seen) {
    EXPECT_EQ(p, seen[0]);
  }
}

TEST_F(LibboxLogBufferTest, MarkersHoldUtcTimeAndFollowTheSession) {
  LibboxLogBuffer& buffer = LibboxLogBuffer::getInstance();
  WriteFile(CleanMarker(), "old");
  time_t before = time(nullptr);
  buffer.startSession();
  // Session running: no clean marker, an active marker.
  EXPECT_FALSE(Exists(CleanMarker()));
  ASSERT_TRUE(Exists(ActiveMarker()));
  EXPECT_EQ(ModeOf(ActiveMarker()), 0600u);
  std::string stamp = ReadFile(ActiveMarker());
  ASSERT_TRUE(IsUtcStamp(stamp)) << stamp;
  struct tm parsed = {};
  ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parsed), nullptr);
  time_t written = timegm(&parsed);
  EXPECT_GE(written, before);
  EXPECT_LE(written, time(nullptr));

  WriteFile(SessionLog(), JsonLine("info", "running"));
  buffer.endSessionCleanly();
  // Clean stop: a clean marker, no active marker, no session log.
  EXPECT_TRUE(Exists(CleanMarker()));
  EXPECT_EQ(ModeOf(CleanMarker()), 0600u);
  EXPECT_EQ(ReadFile(CleanMarker()).size(), 20u);
  EXPECT_FALSE(Exists(ActiveMarker()));
  EXPECT_FALSE(Exists(SessionLog()));
}

TEST_F(LibboxLogBufferTest, StartRotatesThePreviousLog) {
  LibboxLogBuffer& buffer = LibboxLogBuffer::getInstance();
  WriteFile(LastCrashLog(), "older crash\n");
  WriteFile(SessionLog(), "previous session\n");
  buffer.startSession();
  EXPECT_FALSE(Exists(SessionLog()));
  EXPECT_EQ(ReadFile(LastCrashLog()), "previous session\n");
  // Without a session log the last crash log stays.
  buffer.startSession();
  EXPECT_EQ(ReadFile(LastCrashLog()), "previous session\n");
}

// The marker table walked through: each row sets up files the way the host and the engine
// leave them, then checks what the next check reports, in a fresh instance as after a restart
// of the host. After every check no file is left.
TEST_F(LibboxLogBufferTest, CrashCheckFollowsTheMarkers) {
  auto twelve_lines = [] {
    std::string log;
    for (int i = 1; i <= 12; ++i) {
      log += JsonLine("info", "line " + std::to_string(i));
    }
    return log;
  };
  struct Row {
    const char* name;
    std::function<void(LibboxLogBuffer&)> setup;
    std::optional<CrashLogResult> expected;
    // Without an active marker the check touches nothing.
    bool leaves_session_log = false;
  };
  const Row rows[] = {
      {"first run ever", [](LibboxLogBuffer&) {}, std::nullopt},
      {"clean stop",
       [](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), JsonLine("error", "ignored"));
         b.endSessionCleanly();
         WriteFile(b.lastCrashLogPath(), JsonLine("error", "stale"));
       },
       std::nullopt},
      {"crash",
       [](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), JsonLine("info", "start") + "\n\n" +
                                           JsonLine("error", "tun: device busy") +
                                           "plain tail line\n\n");
       },
       CrashLogResult{"tun: device busy", 3, {"start", "tun: device busy", "plain tail line"}}},
      {"crash, then a new start before the check",
       [](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), JsonLine("warn", "dial tcp 10.0.0.1:443: refused"));
         b.startSession();
         WriteFile(b.sessionLogPath(), JsonLine("info", "second session"));
       },
       CrashLogResult{"dial tcp 10.0.0.1:443: refused", 1, {"dial tcp 10.0.0.1:443: refused"}}},
      {"active marker without a log", [](LibboxLogBuffer& b) { b.startSession(); }, std::nullopt},
      {"log of empty lines only",
       [](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), "\n\n\n");
       },
       std::nullopt},
      {"check while a session of an earlier run is open",
       [](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), JsonLine("info", "still running"));
       },
       CrashLogResult{"still running", 1, {"still running"}}},
      {"twelve entries give the last five",
       [&](LibboxLogBuffer& b) {
         b.startSession();
         WriteFile(b.sessionLogPath(), twelve_lines());
       },
       CrashLogResult{"line 12", 12, {"line 8", "line 9", "line 10", "line 11", "line 12"}}},
      {"log present but no active marker",
       [](LibboxLogBuffer& b) { WriteFile(b.sessionLogPath(), JsonLine("error", "x")); },
       std::nullopt, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.setup(LibboxLogBuffer::getInstance());
    LibboxLogBuffer::resetForTesting();
    std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
    ExpectReport(report, row.expected);
    if (row.leaves_session_log) {
      EXPECT_TRUE(Exists(SessionLog()));
    } else {
      ExpectNoFilesLeft();
    }
    // A second check finds nothing.
    EXPECT_FALSE(LibboxLogBuffer::checkForCrashLogs().has_value());
    unlink(SessionLog().c_str());
  }
}

// A check while this process's engine session is open must not take that session for a crash:
// its marker and log stay, and a clean stop then ends it as usual. A crash of the session
// before it, moved aside by the start, is still reported once.
TEST_F(LibboxLogBufferTest, CheckDuringAnOpenSessionLeavesItAlone) {
  struct Row {
    const char* name;
    const char* previous_log;  // the log a crashed earlier session left, or none
    std::optional<CrashLogResult> expected;
  };
  const Row rows[] = {
      {"no earlier crash", nullptr, std::nullopt},
      {"an earlier crash", "{\"level\":\"error\",\"msg\":\"tun: device busy\"}\n",
       CrashLogResult{"tun: device busy", 1, {"tun: device busy"}}},
      {"an earlier crash with an empty log", "\n", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.previous_log != nullptr) {
      WriteFile(ActiveMarker(), "2026-01-01T00:00:00Z");
      WriteFile(SessionLog(), row.previous_log);
    }
    LibboxLogBuffer& buffer = LibboxLogBuffer::getInstance();
    buffer.startSession();
    WriteFile(SessionLog(), JsonLine("info", "running"));

    std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
    ExpectReport(report, row.expected);
    EXPECT_FALSE(Exists(LastCrashLog()));
    EXPECT_TRUE(Exists(ActiveMarker()));
    EXPECT_EQ(ReadFile(SessionLog()), JsonLine("info", "running"));
    EXPECT_FALSE(LibboxLogBuffer::checkForCrashLogs().has_value());

    // The open session, had the host died now, is what the next run reports.
    LibboxLogBuffer::resetForTesting();
    report = LibboxLogBuffer::checkForCrashLogs();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->lastLogs, std::vector<std::string>{"running"});
    ExpectNoFilesLeft();

    // In a run that stops cleanly, the stop ends the session as before.
    LibboxLogBuffer& next = LibboxLogBuffer::getInstance();
    next.startSession();
    EXPECT_FALSE(LibboxLogBuffer::checkForCrashLogs().has_value());
    next.endSessionCleanly();
    EXPECT_FALSE(LibboxLogBuffer::checkForCrashLogs().has_value());
    ExpectNoFilesLeft();
    LibboxLogBuffer::resetForTesting();
  }
}

}  // namespace
}  // namespace korvane_test
