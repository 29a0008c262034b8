// Reading the engine's session log: line parsing, the error summary, and the streaming report
// used for crash reports.

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>

#include "core/libbox_log_buffer.h"

namespace {

// Lower-case fragments of messages that usually explain why the engine stopped.
constexpr std::string_view kErrorPatterns[] = {
    "error:",         "failed",
    "fatal",          "panic",
    "abort",          "connection refused",
    "dial tcp",       "timeout exceeded",
    "invalid config", "missing required",
    "unsupported",    "invalid auth",
    "hysteria2:",     "sing-box:",
};

constexpr std::string_view kMsgKey = "\"msg\":";
constexpr std::string_view kLevelKey = "\"level\":";
constexpr std::string_view kTsKey = "\"ts\":";
constexpr char kUnknownCrash[] = "Unknown crash";

bool Contains(std::string_view haystack, std::string_view needle) {
  return memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// ASCII lower case (the engine writes its own texts in ASCII; other bytes stay as they are).
void LowerInto(std::string_view text, std::string& out) {
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
}

bool MatchesErrorPattern(std::string_view message, std::string& scratch) {
  LowerInto(message, scratch);
  for (std::string_view pattern : kErrorPatterns) {
    if (Contains(scratch, pattern)) {
      return true;
    }
  }
  return false;
}

void UnescapeInto(std::string_view text, std::string& out) {
  out.clear();
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* backslash = static_cast<const char*>(memchr(p, '\\', end - p));
    if (!backslash) {
      out.append(p, end - p);
      break;
    }
    out.append(p, backslash - p);
    if (backslash + 1 == end) {
      out.push_back('\\');
      break;
    }
    char translated;
    switch (backslash[1]) {
      case '\\':
        translated = '\\';
        break;
      case 'n':
        translated = '\n';
        break;
      case 'r':
        translated = '\r';
        break;
      case 't':
        translated = '\t';
        break;
      case '/':
        translated = '/';
        break;
      case '"':
        translated = '"';
        break;
      default:
        // Escapes the engine does not use (\u, \b, \f) are shown as written.
        out.push_back('\\');
        p = backslash + 1;
        continue;
    }
    out.push_back(translated);
    p = backslash + 2;
  }
}

// Finds the string value after `key` in a JSON line: the next double quote after the key opens
// it, and the first quote preceded by an even number of backslashes closes it.
bool FindRawValue(std::string_view line, std::string_view key, std::string_view* raw) {
  const char* begin = line.data();
  const char* end = begin + line.size();
  const char* at = static_cast<const char*>(memmem(begin, line.size(), key.data(), key.size()));
  if (!at) {
    return false;
  }
  const char* after_key = at + key.size();
  const char* open = static_cast<const char*>(memchr(after_key, '"', end - after_key));
  if (!open) {
    return false;
  }
  const char* start = open + 1;
  for (const char* p = start; p < end;) {
    const char* quote = static_cast<const char*>(memchr(p, '"', end - p));
    if (!quote) {
      return false;
    }
    const char* run = quote;
    while (run > start && run[-1] == '\\') {
      --run;
    }
    if ((quote - run) % 2 == 0) {
      *raw = std::string_view(start, quote - start);
      return true;
    }
    p = quote + 1;
  }
  return false;
}

// Fills `entry` from one non-empty line, reusing its buffers. `scratch` is working space.
void ParseLineInto(std::string_view line,
                   bool want_timestamp,
                   LogEntry& entry,
                   std::string& scratch) {
  entry.timestamp.clear();
  entry.level.assign("info");
  if (line.front() == '{' && line.back() == '}') {
    std::string_view raw;
    if (FindRawValue(line, kMsgKey, &raw) && !raw.empty()) {
      UnescapeInto(raw, entry.message);
    } else {
      entry.message.assign(line);
    }
    if (FindRawValue(line, kLevelKey, &raw)) {
      UnescapeInto(raw, entry.level);
    }
    if (want_timestamp && FindRawValue(line, kTsKey, &raw)) {
      UnescapeInto(raw, entry.timestamp);
    }
    return;
  }
  entry.message.assign(line);
  LowerInto(line, scratch);
  if (Contains(scratch, "error") || Contains(scratch, "fatal") || Contains(scratch, "panic")) {
    entry.level.assign("error");
  } else if (Contains(scratch, "warn")) {
    entry.level.assign("warning");
  } else if (Contains(scratch, "debug")) {
    entry.level.assign("debug");
  }
}

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

// getline's growable buffer.
struct LineBuffer {
  ~LineBuffer() { free(data); }
  char* data = nullptr;
  size_t capacity = 0;
};

// Calls `on_line` with every non-empty line of the file (without its "\n"). Memory is bounded
// by the longest line. False when the file cannot be opened.
template <typename OnLine>
bool ForEachLine(const std::string& path, OnLine on_line) {
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rbe"));
  if (!file) {
    return false;
  }
  posix_fadvise(fileno(file.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
  setvbuf(file.get(), nullptr, _IOFBF, 1 << 18);
  LineBuffer buffer;
  ssize_t length;
  while ((length = getline(&buffer.data, &buffer.capacity, file.get())) >= 0) {
    size_t size = static_cast<size_t>(length);
    if (size > 0 && buffer.data[size - 1] == '\n') {
      --size;
    }
    if (size > 0) {
      on_line(std::string_view(buffer.data, size));
    }
  }
  return true;
}

// Builds the crash report entry by entry: keeps the last few messages and the best summary
// candidate so far, never the whole log.
class ReportBuilder {
 public:
  // Takes the entry's message (the entry's buffers are reused by the caller).
  void Add(LogEntry& entry) {
    ++count_;
    if (entry.level == "error" || entry.level == "fatal") {
      level_hit_.assign(entry.message);
      have_level_hit_ = true;
    } else if (!have_level_hit_ && MatchesErrorPattern(entry.message, scratch_)) {
      // Only needed while no entry has an error level: such an entry wins wherever it is.
      pattern_hit_.assign(entry.message);
      have_pattern_hit_ = true;
    }
    last_[next_].swap(entry.message);
    next_ = (next_ + 1) % last_.size();
  }

  CrashLogResult Finish() {
    CrashLogResult result;
    constexpr uint64_t kMaxCount = std::numeric_limits<int32_t>::max();
    result.logCount = static_cast<int32_t>(count_ < kMaxCount ? count_ : kMaxCount);
    size_t kept = count_ < last_.size() ? static_cast<size_t>(count_) : last_.size();
    size_t first = (next_ + last_.size() - kept) % last_.size();
    for (size_t i = 0; i < kept; ++i) {
      result.lastLogs.push_back(std::move(last_[(first + i) % last_.size()]));
    }
    if (have_level_hit_) {
      result.summary = std::move(level_hit_);
    } else if (have_pattern_hit_) {
      result.summary = std::move(pattern_hit_);
    } else if (!result.lastLogs.empty()) {
      result.summary = result.lastLogs.back();
    } else {
      result.summary = kUnknownCrash;
    }
    return result;
  }

 private:
  uint64_t count_ = 0;
  std::array<std::string, LibboxLogBuffer::kLastLogCount> last_;
  size_t next_ = 0;
  bool have_level_hit_ = false;
  std::string level_hit_;
  bool have_pattern_hit_ = false;
  std::string pattern_hit_;
  std::string scratch_;
};

}  // namespace

std::string LibboxLogBuffer::unescapeJsonString(std::string_view text) {
  std::string out;
  UnescapeInto(text, out);
  return out;
}

LogEntry LibboxLogBuffer::parseLogLine(std::string_view line) {
  LogEntry entry;
  if (line.empty()) {
    entry.level = "info";
    return entry;
  }
  std::string scratch;
  ParseLineInto(line, true, entry, scratch);
  return entry;
}

std::vector<LogEntry> LibboxLogBuffer::parseLogFile(const std::string& path) {
  std::vector<LogEntry> entries;
  std::string scratch;
  ForEachLine(path, [&](std::string_view line) {
    LogEntry entry;
    ParseLineInto(line, true, entry, scratch);
    entries.push_back(std::move(entry));
  });
  return entries;
}

std::string LibboxLogBuffer::extractErrorSummary(const std::vector<LogEntry>& entries) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->level == "error" || it->level == "fatal") {
      return it->message;
    }
  }
  std::string scratch;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (MatchesErrorPattern(it->message, scratch)) {
      return it->message;
    }
  }
  return entries.empty() ? kUnknownCrash : entries.back().message;
}

CrashLogResult LibboxLogBuffer::summarizeLogFile(const std::string& path) {
  ReportBuilder builder;
  LogEntry entry;
  std::string scratch;
  ForEachLine(path, [&](std::string_view line) {
    // The timestamp plays no part in the report, so it is not extracted.
    ParseLineInto(line, false, entry, scratch);
    builder.Add(entry);
  });
  return builder.Finish();
}
