#ifndef CORE_LIBBOX_LOG_BUFFER_H_
#define CORE_LIBBOX_LOG_BUFFER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One line of the engine's session log.
struct LogEntry {
  std::string timestamp;
  std::string message;
  std::string level;
};

// What the user interface is told about a crashed engine session.
struct CrashLogResult {
  std::string summary;
  int32_t logCount = 0;
  // Messages of the last few entries, oldest first.
  std::vector<std::string> lastLogs;
};

// Marker files around every engine session, so that a crash of the previous run can be told
// apart from a clean stop, and the crashed session's log turned into a short report.
//
// Lives in the configuration directory:
//   libbox_session.log      written by the engine while a session runs
//   libbox_last_crash.log   a session log moved aside when a new session starts
//   libbox_clean_shutdown   written at every clean stop
//   libbox_session_active   written at every start
//
// Despite its name it buffers nothing: it keeps the session marker files and the session log
// files on disk and reads a crashed session's log back into a report (the parsing is in
// libbox_log_buffer_parsing.cc).
class LibboxLogBuffer {
 public:
  // How many messages a crash report carries.
  static constexpr size_t kLastLogCount = 5;

  // The process-wide instance, created on first use. Any thread.
  static LibboxLogBuffer& getInstance();

  // The configuration directory and the engine's session log path, computed afresh from the
  // environment on each call. Any thread.
  static std::string getBasePath();
  static std::string getSessionLogPath();

  // Opens a new session: forgets a clean stop, moves the previous log aside and marks the
  // session active. Any thread; called under the service lock.
  void startSession();
  // Marks a clean stop and removes the active marker and the session's log. Any thread.
  void endSessionCleanly();

  // Reports the previous session when it ended without a clean stop, and removes its files.
  // Empty when there is nothing to report. While this process has a session open, that
  // session's marker and log are left alone: only a crashed session's log that the start moved
  // aside is reported. Main thread; holds the instance's mutex, so a start or stop on another
  // thread waits for it.
  static std::optional<CrashLogResult> checkForCrashLogs();

  // The whole log as entries, in file order; empty when the file cannot be opened. Any thread.
  static std::vector<LogEntry> parseLogFile(const std::string& path);
  // The one message that best explains a crash. Any thread.
  static std::string extractErrorSummary(const std::vector<LogEntry>& entries);
  // Undoes the JSON escapes the engine writes; other escapes are kept as written. Any thread.
  static std::string unescapeJsonString(std::string_view text);
  // One non-empty log line as an entry. Any thread.
  static LogEntry parseLogLine(std::string_view line);

  // The report that extractErrorSummary over parseLogFile would give (summary, entry count,
  // last messages), computed while reading the file once and holding only the last few
  // messages, so a log of any size fits in a few buffers. A file that cannot be opened reads
  // as empty (logCount 0); a count beyond the int32 range stays at its largest value. Any
  // thread.
  static CrashLogResult summarizeLogFile(const std::string& path);

  // Makes the directory and its missing parents, mode 0700. Any thread.
  static bool ensureDirectoryExists(const std::string& path);
  // Writes the current UTC time into a marker file and flushes it to disk. Any thread.
  static void writeMarkerSync(const std::string& path);

  const std::string& basePath() const { return base_path_; }
  const std::string& sessionLogPath() const { return session_log_path_; }
  const std::string& lastCrashLogPath() const { return last_crash_log_path_; }
  const std::string& cleanShutdownMarkerPath() const { return clean_shutdown_marker_path_; }
  const std::string& sessionActiveMarkerPath() const { return session_active_marker_path_; }

#ifdef KORVANE_TESTING
  // Drops the instance so the next getInstance() reads the environment again.
  static void resetForTesting();
#endif

  LibboxLogBuffer(const LibboxLogBuffer&) = delete;
  LibboxLogBuffer& operator=(const LibboxLogBuffer&) = delete;

 private:
  LibboxLogBuffer();

  // Moves the session log aside as the last crash log. The caller holds mutex_.
  void rotateLogFiles();
  // The check while this process's session is open: reports the moved-aside log of the session
  // before it and removes that log only. The caller holds mutex_.
  std::optional<CrashLogResult> reportMovedAsideCrash();

  std::string base_path_;
  std::string session_log_path_;
  std::string last_crash_log_path_;
  std::string clean_shutdown_marker_path_;
  std::string session_active_marker_path_;
  std::mutex mutex_;
  // Guarded by mutex_: a session was started in this process and not yet ended cleanly.
  bool session_open_ = false;

  static std::mutex instance_mutex_;
  static std::unique_ptr<LibboxLogBuffer> instance_;
};

#endif  // CORE_LIBBOX_LOG_BUFFER_H_
