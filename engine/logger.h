// The engine's log: lines "LEVEL component: message" appended to log.output (or the standard
// streams), with the "-0700 2006-01-02 15:04:05 " prefix when timestamps are on. Any thread.
#ifndef ENGINE_LOGGER_H_
#define ENGINE_LOGGER_H_

#include <mutex>
#include <string>

#include "engine/box_config.h"
#include "engine/net_util.h"

namespace box {

enum LogLevel { kTrace = 0, kDebug, kInfo, kWarn, kError, kFatal, kPanic };

class Logger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // "trace" ... "panic" (and "warning") to a level; -1 when unknown.
  static int ParseLevel(const std::string& name);
  // "INFO", "WARN", ...; unknown names give -1.
  static int ParseUpperLevel(const std::string& name);

  // Opens the output for append. A relative path resolves against `working_directory`, never
  // the process's current directory. The file is private to its owner (0600, an existing file's
  // mode tightened too) and a symbolic link in its place is refused. On failure returns false
  // with the engine's text in *error.
  bool Open(const LogOptions& options, const std::string& working_directory, std::string* error);
  void Close();

  // Writes one line when the logger is open and the level passes the threshold.
  void Log(int level, const std::string& message);

 private:
  std::mutex mutex_;
  LogOptions options_;
  bool open_ = false;
  UniqueFd file_;
  int fd_ = -1;  // file_ or a standard stream
};

}  // namespace box

#endif  // ENGINE_LOGGER_H_
