// Helpers for the engine binding's tests: a private temporary tree that becomes the current
// directory, copies of the purpose-built engines, the engine's controls, and output capture.
#ifndef TESTS_CORE_TEST_ENGINES_TEST_ENGINE_CONTROL_H_
#define TESTS_CORE_TEST_ENGINES_TEST_ENGINE_CONTROL_H_

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/libbox_interface.h"

namespace korvane_test {

// Standard output and standard error written while a function ran.
struct Captured {
  std::string out;
  std::string err;
};

inline Captured Capture(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run();
  Captured captured;
  captured.out = testing::internal::GetCapturedStdout();
  captured.err = testing::internal::GetCapturedStderr();
  return captured;
}

// The controls of the test engine copy loaded from `path`. Holds a reference on the library,
// so drop it before checking that the binding unloaded it.
class TestEngineControl {
 public:
  explicit TestEngineControl(const std::string& path)
      : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
  ~TestEngineControl() {
    if (handle_ != nullptr) {
      dlclose(handle_);
    }
  }
  TestEngineControl(const TestEngineControl&) = delete;
  TestEngineControl& operator=(const TestEngineControl&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void SetCodes(int setup, int create, int start, int stop) {
    Fn<void (*)(int, int, int, int)>("test_engine_set_codes")(setup, create, start, stop);
  }
  void SetStatus(int status) { Fn<void (*)(int)>("test_engine_set_status")(status); }
  // nullptr: the engine gives no message.
  void SetLastError(const char* text) {
    Fn<void (*)(const char*)>("test_engine_set_last_error")(text);
  }
  // nullptr: the engine gives no version.
  void SetVersion(const char* text) { Fn<void (*)(const char*)>("test_engine_set_version")(text); }
  // Every call so far, separated by ';'.
  std::string Journal() { return Fn<const char* (*)()>("test_engine_journal")(); }
  // Empties the journal and returns every result to its default.
  void Reset() { Fn<void (*)()>("test_engine_reset")(); }
  // Strings the engine handed out and did not get back.
  int LiveStrings() { return Fn<int (*)()>("test_engine_live_strings")(); }

 private:
  template <typename F>
  F Fn(const char* name) {
    void* symbol = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
    if (symbol == nullptr) {
      ADD_FAILURE() << "test engine control missing: " << name;
      std::abort();
    }
    return reinterpret_cast<F>(symbol);
  }

  void* handle_;
};

// A fixture that runs each test in a fresh temporary tree <root>/work (the current directory),
// so the binding's relative candidates ./lib, ../lib and ./libbox.so land inside it.
class EngineTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-libbox-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    work_ = root_ / "work";
    std::filesystem::create_directories(work_);
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(work_);
  }

  void TearDown() override {
    LibboxInterface::ResetForTesting();
    std::filesystem::current_path(old_cwd_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Copies an engine library to a path relative to the work directory.
  void Place(const std::string& engine, const std::string& relative) {
    std::filesystem::path target = work_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(engine, target, std::filesystem::copy_options::overwrite_existing);
  }

  void PlaceText(const std::string& relative, const std::string& text) {
    std::filesystem::path target = work_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target) << text;
  }

  void PlaceDirectory(const std::string& relative) {
    std::filesystem::create_directories(work_ / relative);
  }

  std::filesystem::path root_;
  std::filesystem::path work_;
  std::filesystem::path old_cwd_;
};

// SHA-256 of a file by the system's sha256sum, as an independent reference.
inline std::string SystemSha256(const std::string& path) {
  std::string command = "sha256sum '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return std::string();
  }
  char buffer[65] = {};
  size_t n = fread(buffer, 1, 64, pipe);
  pclose(pipe);
  return std::string(buffer, n);
}

}  // namespace korvane_test

#endif  // TESTS_CORE_TEST_ENGINES_TEST_ENGINE_CONTROL_H_
