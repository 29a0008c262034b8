// The crash-report parser over a session log of arbitrary bytes. Besides surviving the input,
// the streaming report (summarizeLogFile, and checkForCrashLogs that uses it) must say what
// the plain readers (parseLogFile, extractErrorSummary) say, and the fast case-blind word
// search must find what a search of a lower-cased copy finds.

#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/libbox_log_buffer.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvane::fuzz::AsView;

// Whether the ASCII-lower-cased |text| contains |word| (lower case).
bool ContainsFolded(std::string_view text, std::string_view word) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c + ('a' - 'A'));
    }
  }
  return folded.find(word) != std::string::npos;
}

// The level a line that is not a JSON object gets, by the documented word order.
std::string PlainLevel(std::string_view line) {
  for (std::string_view word : {"error", "fatal", "panic"}) {
    if (ContainsFolded(line, word)) {
      return "error";
    }
  }
  if (ContainsFolded(line, "warn")) {
    return "warning";
  }
  if (ContainsFolded(line, "debug")) {
    return "debug";
  }
  return "info";
}

// The non-empty lines of |log|, as the file reader splits them.
std::vector<std::string_view> Lines(std::string_view log) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string_view::npos) {
      end = log.size();
    }
    if (end > start) {
      lines.push_back(log.substr(start, end - start));
    }
    start = end + 1;
  }
  return lines;
}

const std::string& ConfigDirectory() {
  static const std::string directory = [] {
    std::string home = korvane::fuzz::ScratchDirectory();
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    return LibboxLogBuffer::getBasePath();
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& directory = ConfigDirectory();
  LibboxLogBuffer& buffer = LibboxLogBuffer::getInstance();
  FUZZ_CHECK(buffer.basePath() == directory);
  std::string_view log = AsView(data, size);

  // Line by line.
  std::vector<std::string_view> lines = Lines(log);
  std::vector<LogEntry> by_line;
  for (std::string_view line : lines) {
    LogEntry entry = LibboxLogBuffer::parseLogLine(line);
    if (!(line.front() == '{' && line.back() == '}')) {
      FUZZ_CHECK(entry.message == line);
      FUZZ_CHECK(entry.level == PlainLevel(line));
    }
    by_line.push_back(std::move(entry));
  }
  std::string unescaped = LibboxLogBuffer::unescapeJsonString(log);
  if (log.find('\\') == std::string_view::npos) {
    FUZZ_CHECK(unescaped == log);
  }

  // The whole file.
  const std::string& log_path = buffer.sessionLogPath();
  korvane::fuzz::WriteScratchFile(log_path, log);
  std::vector<LogEntry> entries = LibboxLogBuffer::parseLogFile(log_path);
  FUZZ_CHECK(entries.size() == by_line.size());
  for (size_t i = 0; i < entries.size(); i++) {
    FUZZ_CHECK(entries[i].message == by_line[i].message);
    FUZZ_CHECK(entries[i].level == by_line[i].level);
    FUZZ_CHECK(entries[i].timestamp == by_line[i].timestamp);
  }
  std::string summary = LibboxLogBuffer::extractErrorSummary(entries);
  CrashLogResult report = LibboxLogBuffer::summarizeLogFile(log_path);
  FUZZ_CHECK(report.summary == summary);
  FUZZ_CHECK(report.logCount == static_cast<int32_t>(entries.size()));
  size_t kept = std::min(entries.size(), LibboxLogBuffer::kLastLogCount);
  FUZZ_CHECK(report.lastLogs.size() == kept);
  for (size_t i = 0; i < kept; i++) {
    FUZZ_CHECK(report.lastLogs[i] == entries[entries.size() - kept + i].message);
  }

  // A session that ended without a clean stop is reported from its log, once.
  LibboxLogBuffer::writeMarkerSync(buffer.sessionActiveMarkerPath());
  std::optional<CrashLogResult> crash = LibboxLogBuffer::checkForCrashLogs();
  if (entries.empty()) {
    FUZZ_CHECK(!crash.has_value());
  } else {
    FUZZ_CHECK(crash.has_value());
    FUZZ_CHECK(crash->summary == report.summary);
    FUZZ_CHECK(crash->logCount == report.logCount);
    FUZZ_CHECK(crash->lastLogs == report.lastLogs);
  }
  FUZZ_CHECK(!LibboxLogBuffer::checkForCrashLogs().has_value());
  korvane::fuzz::EmptyDirectory(directory);
  return 0;
}
