#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/libbox_log_buffer.h"

namespace {

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-logparse-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    path_ = root_ + "/session.log";
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }

  void Write(const std::string& data) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << data;
  }

  // The report as the plain algorithm computes it: the whole list, then the summary.
  CrashLogResult ReportFromWholeList() {
    std::vector<LogEntry> entries = LibboxLogBuffer::parseLogFile(path_);
    CrashLogResult result;
    result.summary = LibboxLogBuffer::extractErrorSummary(entries);
    result.logCount = static_cast<int32_t>(entries.size());
    size_t first = entries.size() > 5 ? entries.size() - 5 : 0;
    for (size_t i = first; i < entries.size(); ++i) {
      result.lastLogs.push_back(entries[i].message);
    }
    return result;
  }

  std::string root_;
  std::string path_;
};

struct LineCase {
  const char* comment;
  std::string line;
  std::string timestamp;
  std::string message;
  std::string level;
};

TEST(LibboxLogParserTest, ParsesJsonAndPlainLines) {
  const std::string crlf_json = "{\"msg\":\"m\",\"level\":\"info\"}\r";
  const std::string crlf_json_error = "{\"msg\":\"m\",\"level\":\"error\"}\r";
  const LineCase cases[] = {
      // JSON fields in any order, unescaped.
      {"all three", R"({"level":"warn","msg":"tab\there","ts":"2026-01-02T03:04:05Z"})",
       "2026-01-02T03:04:05Z", "tab\there", "warn"},
      {"other order", R"({"ts":"t","msg":"m","level":"debug"})", "t", "m", "debug"},
      {"blank after colon", R"({"msg": "spaced", "level":  "warn"})", "", "spaced", "warn"},
      // The value ends only at a quote after an even number of backslashes.
      {"one backslash", R"({"msg":"say \"hi\" now","level":"info"})", "", "say \"hi\" now", "info"},
      {"two backslashes", R"({"msg":"C:\\","level":"error"})", "", "C:\\", "error"},
      {"three backslashes", R"({"msg":"a\\\"b","level":"info"})", "", "a\\\"b", "info"},
      {"four backslashes", R"({"msg":"a\\\\","level":"x"})", "", "a\\\\", "x"},
      // Empty values: msg falls back to the line, level and ts are taken.
      {"empty msg", R"({"msg":"","level":"error"})", "", R"({"msg":"","level":"error"})", "error"},
      {"empty level", R"({"msg":"m","level":"","ts":""})", "", "m", ""},
      {"no level", R"({"msg":"m","ts":"t"})", "t", "m", "info"},
      {"no msg", R"({"level":"error"})", "", R"({"level":"error"})", "error"},
      {"unterminated msg", R"({"msg":"abc})", "", R"({"msg":"abc})", "info"},
      {"empty object", "{}", "", "{}", "info"},
      // A non-string value makes the rule take the next string of the line.
      {"number level", R"({"level":5,"msg":"m"})", "", "m", "msg"},
      // Escapes the engine does not write stay as written.
      {"unicode escape", R"({"msg":"caf\u00e9 \b\f"})", "", R"(caf\u00e9 \b\f)", "info"},
      {"translated escapes", R"({"msg":"a\/b\nc\rd\te\\f"})", "", "a/b\nc\rd\te\\f", "info"},
      // Level case is kept; JSON lines are not searched for level words.
      {"upper-case level", R"({"msg":"boom","level":"ERROR"})", "", "boom", "ERROR"},
      {"error word in info line", R"({"msg":"error: nope","level":"info"})", "", "error: nope",
       "info"},
      // A carriage return before the line feed makes it plain text.
      {"CRLF json", crlf_json, "", crlf_json, "info"},
      {"CRLF json with error", crlf_json_error, "", crlf_json_error, "error"},
      // Plain lines get a level from words in any letter case.
      {"plain warn", "WARN: disk low", "", "WARN: disk low", "warning"},
      {"plain warning", "a WarNing here", "", "a WarNing here", "warning"},
      {"plain fatal", "Fatal: gone", "", "Fatal: gone", "error"},
      {"plain panic", "kernel PANIC", "", "kernel PANIC", "error"},
      {"plain error beats warn", "warn then error", "", "warn then error", "error"},
      {"plain debug", "Some DEBUG output", "", "Some DEBUG output", "debug"},
      {"plain info", "hello world", "", "hello world", "info"},
      {"brace start only", "{ \"msg\":\"x\"", "", "{ \"msg\":\"x\"", "info"},
      {"single brace", "{", "", "{", "info"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.comment);
    LogEntry entry = LibboxLogBuffer::parseLogLine(c.line);
    EXPECT_EQ(entry.timestamp, c.timestamp);
    EXPECT_EQ(entry.message, c.message);
    EXPECT_EQ(entry.level, c.level);
  }
}

TEST(LibboxLogParserTest, UnescapesOnlyTheEngineEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {R"(a\nb\rc\td)", "a\nb\rc\td"},
      {R"(\\)", "\\"},
      {R"(\")", "\""},
      {R"(\/)", "/"},
      {R"(\u0041)", R"(\u0041)"},
      {R"(\b\f)", R"(\b\f)"},
      {R"(end\)", R"(end\)"},   // a trailing backslash is copied
      {R"(\x\\y)", R"(\x\y)"},  // unknown escape kept, then a real one
      {R"(\\n)", R"(\n)"},      // an escaped backslash, then a plain n
      {R"(\\\")", R"(\")"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(input);
    EXPECT_EQ(LibboxLogBuffer::unescapeJsonString(input), expected);
  }
}

std::vector<LogEntry> Entries(const std::vector<std::pair<std::string, std::string>>& items) {
  std::vector<LogEntry> entries;
  for (const auto& [level, message] : items) {
    entries.push_back(LogEntry{"", message, level});
  }
  return entries;
}

TEST(LibboxLogParserTest, SummaryPrefersErrorLevelThenPatternThenLastMessage) {
  struct Case {
    const char* comment;
    std::vector<std::pair<std::string, std::string>> entries;
    std::string expected;
  };
  const Case cases[] = {
      {"no entries", {}, "Unknown crash"},
      {"last error level", {{"info", "a"}, {"error", "b"}, {"error", "c"}, {"info", "d"}}, "c"},
      {"fatal level", {{"error", "first"}, {"fatal", "second"}, {"info", "x"}}, "second"},
      {"error level beats a later pattern", {{"error", "early"}, {"info", "panic later"}}, "early"},
      {"upper-case level is no error level", {{"ERROR", "boom"}, {"info", "ok"}}, "ok"},
      {"upper-case level may match a pattern",
       {{"ERROR", "Dial TCP upper"}, {"info", "ok"}},
       "Dial TCP upper"},
      {"last pattern match, as stored",
       {{"warn", "Connection Refused by peer"}, {"info", "DIAL TCP 1.1.1.1"}, {"info", "done"}},
       "DIAL TCP 1.1.1.1"},
      {"near misses are no match",
       {{"info", "errors happen"}, {"info", "fail"}, {"info", "z"}},
       "z"},
      {"empty level", {{"", "a"}, {"", "b"}}, "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.comment);
    EXPECT_EQ(LibboxLogBuffer::extractErrorSummary(Entries(c.entries)), c.expected);
  }

  // Every pattern counts, in any letter case.
  const char* patterns[] = {"ERROR:",         "Failed",
                            "FATAL",          "Panic",
                            "abort",          "Connection Refused",
                            "dial TCP",       "Timeout Exceeded",
                            "INVALID CONFIG", "missing Required",
                            "UNSUPPORTED",    "Invalid Auth",
                            "Hysteria2:",     "SING-BOX:"};
  for (const char* pattern : patterns) {
    SCOPED_TRACE(pattern);
    std::string message = std::string("x ") + pattern + " y";
    EXPECT_EQ(LibboxLogBuffer::extractErrorSummary(Entries({{"info", message}, {"info", "end"}})),
              message);
  }
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

bool ContainsAny(const std::string& text, const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (text.find(word) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Words are searched in a lower-cased copy of the text; checked against that plain search on
// random texts made of whole, cut and re-cased words, at every position.
TEST(LibboxLogParserTest, WordSearchEqualsLowerCaseSubstringSearch) {
  const std::vector<std::string> patterns = {"error:",         "failed",
                                             "fatal",          "panic",
                                             "abort",          "connection refused",
                                             "dial tcp",       "timeout exceeded",
                                             "invalid config", "missing required",
                                             "unsupported",    "invalid auth",
                                             "hysteria2:",     "sing-box:"};
  const std::vector<std::string> level_words = {"error", "fatal", "panic", "warn", "debug"};
  std::vector<std::string> pieces = patterns;
  pieces.insert(pieces.end(), level_words.begin(), level_words.end());
  // The last five bytes look like ' ', ':', '-', '2' and '`' once bit 5 is set.
  static const char kNoise[] = "aeiorstnpfdwbgu:- 0123456789@`[{PQ\x01\x80\xff\x00\x1a\x0d\x12@";
  const std::string noise(kNoise, sizeof(kNoise) - 1);
  std::mt19937 random(7);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  int error_hits = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string text;
    size_t parts = pick(6);
    for (size_t k = 0; k < parts; ++k) {
      if (pick(3) == 0) {
        text += noise[pick(noise.size())];
        continue;
      }
      std::string word = pieces[pick(pieces.size())];
      if (pick(3) == 0) {
        word = word.substr(pick(word.size()), pick(word.size()) + 1);  // a cut piece
      }
      for (char& c : word) {
        if (pick(2) == 0 && c >= 'a' && c <= 'z') {
          c = static_cast<char>(c - 'a' + 'A');
        }
      }
      text += word;
    }
    if (text.empty()) {
      continue;
    }
    SCOPED_TRACE(text);
    std::string lower = Lower(text);
    bool is_error = ContainsAny(lower, patterns);
    error_hits += is_error;
    std::vector<LogEntry> entries = {LogEntry{"", text, "info"}, LogEntry{"", "~", "info"}};
    ASSERT_EQ(LibboxLogBuffer::extractErrorSummary(entries), is_error ? text : "~");

    std::string level = "info";
    if (ContainsAny(lower, {"error", "fatal", "panic"})) {
      level = "error";
    } else if (ContainsAny(lower, {"warn"})) {
      level = "warning";
    } else if (ContainsAny(lower, {"debug"})) {
      level = "debug";
    }
    if (text.front() != '{' || text.back() != '}') {
      ASSERT_EQ(LibboxLogBuffer::parseLogLine(text).level, level);
    }
  }
  // Both outcomes were exercised plenty.
  EXPECT_GT(error_hits, 3000);
  EXPECT_LT(error_hits, 27000);
}

TEST_F(LogFileTest, ReadsLinesSkippingEmptyOnes) {
  std::string long_message(3 << 20, 'q');
  Write("\n{\"msg\":\"one\",\"level\":\"info\",\"ts\":\"t1\"}\n\nplain two\r\n\n{\"msg\":\"" +
        long_message + "\"}\nlast without newline");
  std::vector<LogEntry> entries = LibboxLogBuffer::parseLogFile(path_);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].message, "one");
  EXPECT_EQ(entries[0].timestamp, "t1");
  EXPECT_EQ(entries[1].message, "plain two\r");
  EXPECT_EQ(entries[2].message, long_message);
  EXPECT_EQ(entries[3].message, "last without newline");

  CrashLogResult report = LibboxLogBuffer::summarizeLogFile(path_);
  EXPECT_EQ(report.logCount, 4);
  EXPECT_EQ(report.summary, "last without newline");
  EXPECT_EQ(report.lastLogs,
            (std::vector<std::string>{"one", "plain two\r", long_message, "last without newline"}));
}

TEST_F(LogFileTest, MissingFileReadsAsEmpty) {
  EXPECT_TRUE(LibboxLogBuffer::parseLogFile(root_ + "/absent").empty());
  CrashLogResult report = LibboxLogBuffer::summarizeLogFile(root_ + "/absent");
  EXPECT_EQ(report.logCount, 0);
  EXPECT_EQ(report.summary, "Unknown crash");
  EXPECT_TRUE(report.lastLogs.empty());
}

// Builds engine-like logs: JSON lines of every level, plain lines, empty and CRLF lines,
// escapes, and now and then a long line.
class LogGenerator {
 public:
  LogGenerator(unsigned seed, bool error_levels, bool patterns)
      : random_(seed), error_levels_(error_levels), patterns_(patterns) {}

  std::string Make(size_t lines) {
    std::string log;
    for (size_t i = 0; i < lines; ++i) {
      log += Line();
      log += '\n';
    }
    return log;
  }

 private:
  std::string Pick(const std::vector<std::string>& items) {
    return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(random_)];
  }

  std::string Message() {
    std::vector<std::string> words = {"inbound/mixed[mixed-in]: accepted",
                                      "router: match",
                                      "outbound/direct: connected",
                                      "dns: exchanged",
                                      "say \\\"hi\\\"",
                                      "caf\\u00e9",
                                      "path C:\\\\",
                                      "a\\/b",
                                      "Tab\\tHere"};
    if (patterns_) {
      std::vector<std::string> bad = {"dial tcp 10.0.0.1:443: i/o timeout",
                                      "Connection Refused",
                                      "FAILED to start",
                                      "hysteria2: auth",
                                      "sing-box: stopping",
                                      "Unsupported feature"};
      words.insert(words.end(), bad.begin(), bad.end());
    }
    std::string message = Pick(words);
    if (std::uniform_int_distribution<int>(0, 200)(random_) == 0) {
      message += std::string(std::uniform_int_distribution<size_t>(1000, 70000)(random_), 'L');
    }
    return message + " #" + std::to_string(counter_++);
  }

  std::string Line() {
    int kind = std::uniform_int_distribution<int>(0, 19)(random_);
    if (kind == 0) {
      return "";
    }
    if (kind <= 12) {
      std::vector<std::string> levels = {"info", "debug", "warn", "trace", "ERROR", "", "Error"};
      if (error_levels_) {
        levels.insert(levels.end(), {"error", "fatal"});
      }
      std::string level = Pick(levels);
      std::string line = "{\"level\":\"" + level + "\",\"ts\":\"2026-01-01T00:00:00Z\",\"msg\":\"" +
                         Message() + "\"}";
      return kind == 12 ? line + "\r" : line;
    }
    if (kind == 13) {
      return "{\"msg\":\"\",\"level\":\"info\"}";
    }
    std::vector<std::string> plain = {"plain text line", "Warning: low memory", "DEBUG trace"};
    if (error_levels_) {
      plain.insert(plain.end(), {"runtime error: index out of range", "PANIC: goroutine"});
    }
    return Pick(plain) + " " + Message();
  }

  std::mt19937 random_;
  bool error_levels_;
  bool patterns_;
  size_t counter_ = 0;
};

// The streaming report must be the report of the whole list, for every kind of log.
TEST_F(LogFileTest, StreamingReportEqualsWholeListReport) {
  struct Case {
    bool error_levels;
    bool patterns;
    size_t lines;
  };
  const Case cases[] = {
      {true, true, 20000}, {false, true, 20000}, {false, false, 20000}, {true, true, 0},
      {true, true, 1},     {false, false, 3},    {false, true, 4},      {true, false, 5},
      {false, true, 6},    {true, true, 7},      {false, false, 300},   {true, false, 2000},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    for (int repeat = 0; repeat < 3; ++repeat, ++seed) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(c.lines) + " lines");
      Write(LogGenerator(seed, c.error_levels, c.patterns).Make(c.lines));
      CrashLogResult expected = ReportFromWholeList();
      CrashLogResult streamed = LibboxLogBuffer::summarizeLogFile(path_);
      EXPECT_EQ(streamed.summary, expected.summary);
      EXPECT_EQ(streamed.logCount, expected.logCount);
      EXPECT_EQ(streamed.lastLogs, expected.lastLogs);
    }
  }
}

// Lines the generator does not make: keys out of order or inside values, escaped levels,
// empty or unterminated values, bytes that look like pattern bytes once case is ignored.
TEST_F(LogFileTest, UnusualLinesReportAsTheWholeList) {
  const std::vector<std::string> lines = {
      R"({"msg":"after","level":"fatal"})",
      R"({"level":"err\or","msg":"escaped level"})",
      R"({"level":"error\n","msg":"level with a newline"})",
      R"({"level":"\u0065rror","msg":"unicode escape"})",
      R"({"level":"ERROR","msg":"upper-case level"})",
      R"({"msg":"","level":"error"})",
      R"({"ts":"\"level\":\"error\"","msg":"key inside a value"})",
      R"({"level": "error" ,"msg": "spaced"})",
      R"({"level":"error","msg":"unterminated})",
      R"({"msg":"\timeout exceeded"})",
      R"({"msg":"Dial TCP 1.2.3.4"})",
      std::string("dial\x00tcp", 8),
      std::string("connection\x00refused", 18),
      "sing\x0d"
      "box:",
      "hysteria\x12:",
      "plain PANIC line",
      "{\"level\":\"error\"",
      "}",
      "{}",
  };
  // Every line alone, then every pair in both orders (which one is the summary matters).
  std::vector<std::string> logs;
  for (const std::string& a : lines) {
    logs.push_back(a + "\n");
    for (const std::string& b : lines) {
      logs.push_back(a + "\n" + b + "\n");
    }
  }
  for (const std::string& log : logs) {
    SCOPED_TRACE(log);
    Write(log);
    CrashLogResult expected = ReportFromWholeList();
    CrashLogResult streamed = LibboxLogBuffer::summarizeLogFile(path_);
    ASSERT_EQ(streamed.summary, expected.summary);
    ASSERT_EQ(streamed.logCount, expected.logCount);
    ASSERT_EQ(streamed.lastLogs, expected.lastLogs);
  }
}

}  // namespace
