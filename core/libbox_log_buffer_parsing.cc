// Reading the engine's session log: line parsing, the error summary, and the streaming report
// used for crash reports.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "base/scoped_fd.h"
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

// Words that give a plain line its level, in the order they are tried.
constexpr std::string_view kLevelWords[] = {"error", "fatal", "panic", "warn", "debug"};
constexpr uint32_t kErrorWordBits = 0x7;  // error, fatal, panic
constexpr uint32_t kWarnWordBit = 0x8;
constexpr uint32_t kDebugWordBit = 0x10;

inline unsigned char FoldCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Finds which of a few lower-case words occur in a text, ignoring ASCII letter case (the same
// as searching a lower-cased copy). Logs can be gigabytes, so this is the hot loop: it looks
// only at every `stride_`-th pair of bytes, where stride_ is one less than the shortest word, so
// every occurrence has one of its first stride_ pairs looked at. A small table, indexed by the
// classes of both bytes, names the words and offsets that may start there; a full comparison
// confirms each. Letters of either case share a class and bytes that no word contains share
// class 0, so ordinary text rarely raises a candidate that the comparison then turns down.
class CaselessWordSet {
 public:
  template <size_t N>
  explicit CaselessWordSet(const std::string_view (&words)[N]) : words_(words, words + N) {
    static_assert(N > 0, "at least one word");
    // One table bit per word and offset.
    static_assert(N <= 32, "one result bit per word");
    size_t shortest = words[0].size();
    for (std::string_view word : words) {
      shortest = std::min(shortest, word.size());
    }
    for (std::string_view word : words) {
      for (char c : word) {
        AddClass(static_cast<unsigned char>(c));
      }
    }
    for (size_t w = 0; w < N; ++w) {
      if (words[w].size() >= 4) {
        memcpy(&heads_[w], words[w].data(), sizeof(uint32_t));
        heads_[w] |= 0x20202020u;
      }
    }
    // Words of one byte cannot be told by a pair.
    stride_ = std::max<size_t>(1, std::min<size_t>(shortest - 1, 64 / N));
    for (size_t w = 0; w < N; ++w) {
      for (size_t offset = 0; offset < stride_; ++offset) {
        size_t bit = w * stride_ + offset;
        bit_word_[bit] = static_cast<uint8_t>(w);
        bit_offset_[bit] = static_cast<uint8_t>(offset);
        pairs_[Index(words[w][offset], words[w][offset + 1])] |= uint64_t{1} << bit;
      }
    }
  }

  // Bit w is set when words[w] occurs. Stops early once a word of `stop` is found.
  uint32_t Find(std::string_view text, uint32_t stop) const {
    uint32_t found = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    const size_t stride = stride_;
    for (size_t i = 0; i + 1 < n; i += stride) {
      uint64_t candidates = pairs_[Index(p[i], p[i + 1])];
      while (candidates) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(candidates));
        candidates &= candidates - 1;
        const size_t w = bit_word_[bit];
        const size_t offset = bit_offset_[bit];
        if ((found >> w) & 1u || offset > i) {
          continue;
        }
        const size_t start = i - offset;
        if (MatchesAt(p + start, n - start, w)) {
          found |= 1u << w;
          if (found & stop) {
            return found;
          }
        }
      }
    }
    return found;
  }

 private:
  void AddClass(unsigned char c) {
    unsigned char folded = FoldCase(c);
    if (class_[folded] != 0) {
      class_[c] = class_[folded];
      return;
    }
    // 31 classes are enough for the words used here; further bytes share the last one.
    next_class_ = std::min<uint8_t>(next_class_ + 1, 31);
    class_[folded] = next_class_;
    class_[c] = next_class_;
    if (folded >= 'a' && folded <= 'z') {
      class_[folded - ('a' - 'A')] = next_class_;
    }
  }

  size_t Index(unsigned char first, unsigned char second) const {
    return static_cast<size_t>(class_[first]) << 5 | class_[second];
  }

  bool MatchesAt(const unsigned char* p, size_t available, size_t w) const {
    const std::string_view word = words_[w];
    if (word.size() > available) {
      return false;
    }
    // Most candidates differ within four bytes: compare those at once, with bit 5 set in both
    // (which lower-cases letters; other bytes may then look alike, so a match is confirmed
    // byte by byte).
    if (word.size() >= 4) {
      uint32_t head;
      memcpy(&head, p, sizeof(head));
      if ((head | 0x20202020u) != heads_[w]) {
        return false;
      }
    }
    for (size_t k = 0; k < word.size(); ++k) {
      if (FoldCase(p[k]) != static_cast<unsigned char>(word[k])) {
        return false;
      }
    }
    return true;
  }

  std::vector<std::string_view> words_;
  size_t stride_ = 1;
  uint8_t next_class_ = 0;
  std::array<uint8_t, 256> class_{};
  std::array<uint8_t, 64> bit_word_{};
  std::array<uint8_t, 64> bit_offset_{};
  std::array<uint64_t, 1024> pairs_{};
  std::array<uint32_t, 32> heads_{};  // first four bytes of each word with bit 5 set
};

const CaselessWordSet& ErrorPatterns() {
  static const CaselessWordSet set(kErrorPatterns);
  return set;
}

// The level words that make a plain line an error.
constexpr std::string_view kErrorLevelWords[] = {"error", "fatal", "panic"};

const CaselessWordSet& ErrorLevelWords() {
  static const CaselessWordSet set(kErrorLevelWords);
  return set;
}

const CaselessWordSet& LevelWords() {
  static const CaselessWordSet set(kLevelWords);
  return set;
}

bool MatchesErrorPattern(std::string_view message) {
  return ErrorPatterns().Find(message, ~0u) != 0;
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

// The string values of the keys a JSON log line may carry, still escaped as written.
struct RawFields {
  std::string_view msg;
  std::string_view level;
  std::string_view ts;
  bool has_msg = false;
  bool has_level = false;
  bool has_ts = false;
};

// The string value that starts at the first double quote at or after `from`, ending at the
// first quote preceded by an even number of backslashes. False when either quote is missing.
bool ValueFrom(const char* from, const char* end, std::string_view* raw) {
  const char* open = static_cast<const char*>(memchr(from, '"', end - from));
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

bool KeyAt(const char* quote, const char* end, std::string_view key) {
  return static_cast<size_t>(end - quote) >= key.size() &&
         memcmp(quote, key.data(), key.size()) == 0;
}

// Finds the first occurrence of each key ("msg":, "level": and, when wanted, "ts":) anywhere in
// the line, and the string value after each. Every key begins with a double quote, so one walk
// over the quotes finds them all.
void ScanJsonLine(std::string_view line, bool want_ts, RawFields* fields) {
  const char* p = line.data();
  const char* end = p + line.size();
  const char* msg_key = nullptr;
  const char* level_key = nullptr;
  const char* ts_key = nullptr;
  int missing = want_ts ? 3 : 2;
  // A plain loop: keys sit a few bytes apart, too close for a library search to pay off.
  for (; missing > 0 && p + 1 < end; ++p) {
    if (*p != '"') {
      continue;
    }
    switch (p[1]) {
      case 'm':
        if (!msg_key && KeyAt(p, end, kMsgKey)) {
          msg_key = p;
          --missing;
        }
        break;
      case 'l':
        if (!level_key && KeyAt(p, end, kLevelKey)) {
          level_key = p;
          --missing;
        }
        break;
      case 't':
        if (want_ts && !ts_key && KeyAt(p, end, kTsKey)) {
          ts_key = p;
          --missing;
        }
        break;
      default:
        break;
    }
  }
  fields->has_msg = msg_key && ValueFrom(msg_key + kMsgKey.size(), end, &fields->msg);
  fields->has_level = level_key && ValueFrom(level_key + kLevelKey.size(), end, &fields->level);
  fields->has_ts = ts_key && ValueFrom(ts_key + kTsKey.size(), end, &fields->ts);
}

bool IsJsonLine(std::string_view line) {
  return line.front() == '{' && line.back() == '}';
}

// A JSON line's message: its "msg" value, or the whole line when that is missing or empty.
void JsonMessageInto(std::string_view line, const RawFields& fields, std::string& message) {
  if (fields.has_msg && !fields.msg.empty()) {
    UnescapeInto(fields.msg, message);
  } else {
    message.assign(line);
  }
}

// Fills `entry` from one non-empty line, reusing its buffers.
void ParseLineInto(std::string_view line, bool want_timestamp, LogEntry& entry) {
  entry.timestamp.clear();
  entry.level.assign("info");
  if (IsJsonLine(line)) {
    RawFields fields;
    ScanJsonLine(line, want_timestamp, &fields);
    JsonMessageInto(line, fields, entry.message);
    if (fields.has_level) {
      UnescapeInto(fields.level, entry.level);
    }
    if (fields.has_ts) {
      UnescapeInto(fields.ts, entry.timestamp);
    }
    return;
  }
  entry.message.assign(line);
  uint32_t words = LevelWords().Find(line, kErrorWordBits);
  if (words & kErrorWordBits) {
    entry.level.assign("error");
  } else if (words & kWarnWordBit) {
    entry.level.assign("warning");
  } else if (words & kDebugWordBit) {
    entry.level.assign("debug");
  }
}

// Splits a file into lines, reading large blocks; the buffer grows only to hold the longest
// line, so memory does not depend on the size of the file.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(kBlockSize) {}

  // The next line without its "\n"; false at the end of the file (or on a read error, which
  // ends the file like getline does).
  bool Next(std::string_view* line) {
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const char* newline = static_cast<const char*>(memchr(start, '\n', end_ - begin_));
      if (newline) {
        *line = std::string_view(start, newline - start);
        begin_ += (newline - start) + 1;
        return true;
      }
      if (at_end_) {
        if (begin_ == end_) {
          return false;
        }
        *line = std::string_view(start, end_ - begin_);
        begin_ = end_;
        return true;
      }
      Fill();
    }
  }

 private:
  static constexpr size_t kBlockSize = 256 * 1024;

  void Fill() {
    if (begin_ > 0) {
      memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() - end_ < kBlockSize / 2) {
      buffer_.resize(buffer_.size() * 2);
    }
    for (;;) {
      ssize_t n = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        at_end_ = true;
      } else {
        end_ += static_cast<size_t>(n);
      }
      return;
    }
  }

  int fd_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
};

// Calls `on_line` with every non-empty line of the file (without its "\n"). False when the
// file cannot be opened.
template <typename OnLine>
bool ForEachLine(const std::string& path, OnLine on_line) {
  korvane::ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return false;
  }
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  LineReader reader(fd.get());
  std::string_view line;
  while (reader.Next(&line)) {
    if (!line.empty()) {
      on_line(line);
    }
  }
  return true;
}

// Builds the crash report entry by entry: keeps the last few messages and the best summary
// candidate so far, never the whole log.
class ReportBuilder {
 public:
  // Counts one non-empty line and keeps what the report may need of it. Works on the line as
  // written: a level is "error" or "fatal" exactly when its escaped text is, since no escape
  // stands for a letter.
  void AddLine(std::string_view line) {
    ++count_;
    std::string& message = last_[next_];
    next_ = (next_ + 1) % last_.size();
    bool error_level;
    if (IsJsonLine(line)) {
      RawFields fields;
      ScanJsonLine(line, false, &fields);
      JsonMessageInto(line, fields, message);
      error_level = fields.has_level && (fields.level == "error" || fields.level == "fatal");
    } else {
      message.assign(line);
      error_level = ErrorLevelWords().Find(line, ~0u) != 0;
    }
    if (error_level) {
      level_hit_.assign(message);
      have_level_hit_ = true;
    } else if (!have_level_hit_ && MatchesErrorPattern(message)) {
      // Only needed while no entry has an error level: such an entry wins wherever it is.
      pattern_hit_.assign(message);
      have_pattern_hit_ = true;
    }
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
  ParseLineInto(line, true, entry);
  return entry;
}

std::vector<LogEntry> LibboxLogBuffer::parseLogFile(const std::string& path) {
  std::vector<LogEntry> entries;
  ForEachLine(path, [&](std::string_view line) {
    LogEntry entry;
    ParseLineInto(line, true, entry);
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
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (MatchesErrorPattern(it->message)) {
      return it->message;
    }
  }
  return entries.empty() ? kUnknownCrash : entries.back().message;
}

CrashLogResult LibboxLogBuffer::summarizeLogFile(const std::string& path) {
  ReportBuilder builder;
  ForEachLine(path, [&](std::string_view line) { builder.AddLine(line); });
  return builder.Finish();
}
