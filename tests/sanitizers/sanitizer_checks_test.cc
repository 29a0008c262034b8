// The suite's sanitizer checks can fail: a child run with exactly the suite's environment (its
// suppression files included) that leaks memory allocated through GLib, or races on a GLib
// hash table from two threads, must fail with a report naming the fault, while the same work done
// correctly passes. Suppressions that name whole libraries would hide both.

#include <glib.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/support/kept_paths.h"

namespace {

struct ProbeResult {
  bool ran = false;
  bool exited_cleanly = false;
  std::string out;
  std::string err;
};

// |extra_asan_options| are appended to ASAN_OPTIONS.
ProbeResult RunProbe(const std::string& mode, const std::string& extra_asan_options = "") {
  ProbeResult result;
  // The child inherits this test's environment: the one CTest gives every test.
  gchar** envp = g_get_environ();
  if (!extra_asan_options.empty()) {
    const gchar* asan = g_environ_getenv(envp, "ASAN_OPTIONS");
    std::string value = std::string(asan != nullptr ? asan : "") + ":" + extra_asan_options;
    envp = g_environ_setenv(envp, "ASAN_OPTIONS", value.c_str(), TRUE);
  }
  const gchar* argv[] = {KORVANE_SANITIZER_PROBE, mode.c_str(), nullptr};
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint status = 0;
  result.ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), envp, G_SPAWN_DEFAULT, nullptr,
                            nullptr, &out, &err, &status, nullptr);
  g_strfreev(envp);
  result.out = out != nullptr ? out : "";
  result.err = err != nullptr ? err : "";
  g_free(out);
  g_free(err);
  result.exited_cleanly = result.ran && g_spawn_check_wait_status(status, nullptr);
  return result;
}

// The variable as the suite sets it: it names a suppression file (the checkout's or a copy the
// test may read) with the content of the suite's file.
std::string SuiteOption(const char* variable, const char* suppressions) {
  const char* value = getenv(variable);
  std::string text = value != nullptr ? value : "";
  const std::string named = korvane_test::SuppressionFile(variable);
  gchar* contents = nullptr;
  gchar* expected = nullptr;
  const std::string suite_file = std::string(KORVANE_SUPPRESSIONS_DIR) + "/" + suppressions;
  EXPECT_TRUE(!named.empty() && g_file_get_contents(named.c_str(), &contents, nullptr, nullptr) &&
              g_file_get_contents(suite_file.c_str(), &expected, nullptr, nullptr) &&
              strcmp(contents, expected) == 0)
      << variable << "=" << text << " is not the suite's environment";
  g_free(contents);
  g_free(expected);
  return text;
}

// A suppression that names a library matches every stack passing through it, ours included: each
// entry must name a function.
TEST(SanitizerChecksTest, SuppressionsNameFunctionsNotLibraries) {
  for (const char* file : {"lsan.supp", "tsan.supp", "asan.supp"}) {
    SCOPED_TRACE(file);
    std::string path = std::string(KORVANE_SUPPRESSIONS_DIR) + "/" + file;
    gchar* contents = nullptr;
    ASSERT_TRUE(g_file_get_contents(path.c_str(), &contents, nullptr, nullptr)) << path;
    gchar** lines = g_strsplit(contents, "\n", -1);
    g_free(contents);
    for (gchar** line = lines; *line != nullptr; line++) {
      g_strstrip(*line);
      if ((*line)[0] == '\0' || (*line)[0] == '#') {
        continue;
      }
      const char* colon = strchr(*line, ':');
      ASSERT_NE(colon, nullptr) << *line;
      std::string pattern(colon + 1);
      EXPECT_EQ(pattern.find(".so"), std::string::npos) << *line;
      EXPECT_NE(pattern.rfind("lib", 0), 0u) << *line;
      EXPECT_EQ(pattern.find_first_of("*/"), std::string::npos) << *line;
    }
    g_strfreev(lines);
  }
}

#if defined(__SANITIZE_ADDRESS__)

TEST(SanitizerChecksTest, LeaksOfGLibAllocationsFailTheChild) {
  std::string lsan = SuiteOption("LSAN_OPTIONS", "lsan.supp");
  // The counts of what was suppressed stay visible, so a new suppression cannot hide quietly.
  EXPECT_NE(lsan.find("print_suppressions=1"), std::string::npos) << lsan;

  struct Case {
    const char* mode;
    // The leak as the report states it: its size and GLib's allocating function.
    const char* leak;
    const char* through;
    // The function of ours that allocated, which a full unwind shows.
    const char* allocator;
  };
  const Case cases[] = {
      {"leak-strdup", "Direct leak of 26 byte(s) in 1 object(s)", "g_malloc", "LeakAString"},
      {"leak-new0", "Direct leak of 16 byte(s) in 1 object(s)", "g_malloc0", "LeakARecord"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ProbeResult result = RunProbe(c.mode);
    ASSERT_TRUE(result.ran);
    EXPECT_FALSE(result.exited_cleanly) << result.err;
    EXPECT_NE(result.err.find("ERROR: LeakSanitizer: detected memory leaks"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(c.leak), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(std::string(" in ") + c.through + " "), std::string::npos)
        << result.err;

    // Unwound in full (GLib has no frame pointers), the report leads to our function.
    ProbeResult traced = RunProbe(c.mode, "fast_unwind_on_malloc=0");
    ASSERT_TRUE(traced.ran);
    EXPECT_FALSE(traced.exited_cleanly) << traced.err;
    EXPECT_NE(traced.err.find(c.leak), std::string::npos) << traced.err;
    EXPECT_NE(traced.err.find(std::string(" in ") + c.allocator + " "), std::string::npos)
        << traced.err;
  }

  // The same allocation, freed: the child passes, so the failures above come from the leaks.
  ProbeResult clean = RunProbe("clean");
  ASSERT_TRUE(clean.ran);
  EXPECT_TRUE(clean.exited_cleanly) << clean.err;
  EXPECT_EQ(clean.err.find("LeakSanitizer"), std::string::npos) << clean.err;
}

#elif defined(__SANITIZE_THREAD__)

TEST(SanitizerChecksTest, RacesOnAGLibHashTableFailTheChild) {
  SuiteOption("TSAN_OPTIONS", "tsan.supp");

  ProbeResult racy = RunProbe("race-hash-table");
  ASSERT_TRUE(racy.ran);
  EXPECT_FALSE(racy.exited_cleanly) << racy.err;
  EXPECT_NE(racy.err.find("WARNING: ThreadSanitizer: data race"), std::string::npos) << racy.err;
  // Both inserting threads appear in the report.
  EXPECT_NE(racy.err.find(" InsertFirst "), std::string::npos) << racy.err;
  EXPECT_NE(racy.err.find(" InsertSecond "), std::string::npos) << racy.err;

  // The same inserts under a lock: no report, so the one above is the race.
  ProbeResult locked = RunProbe("locked-hash-table");
  ASSERT_TRUE(locked.ran);
  EXPECT_TRUE(locked.exited_cleanly) << locked.err;
  EXPECT_EQ(locked.err.find("ThreadSanitizer"), std::string::npos) << locked.err;
  EXPECT_NE(locked.out.find("200 entries"), std::string::npos) << locked.out;
}

#endif

}  // namespace
