// Test access to the engine exactly as it ships: bundle/lib/libbox.so loaded with dlopen, plus
// small helpers (temporary directories, files, HTTP over loopback) shared by the engine tests.
#ifndef TESTS_ENGINE_LIBBOX_LIBRARY_H_
#define TESTS_ENGINE_LIBBOX_LIBRARY_H_

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "engine/libbox.h"
#include "tests/support/shell_command.h"
#include "tests/support/test_files.h"

namespace korvane_test {

struct LibboxLibrary {
  void* handle = nullptr;
  decltype(&::setup_libbox) setup_libbox = nullptr;
  decltype(&::get_version) get_version = nullptr;
  decltype(&::create_service) create_service = nullptr;
  decltype(&::start_service) start_service = nullptr;
  decltype(&::stop_service) stop_service = nullptr;
  decltype(&::get_status) get_status = nullptr;
  decltype(&::get_last_error) get_last_error = nullptr;
  decltype(&::free_string) free_string = nullptr;

  // Loads `path` (the bundle's library by default) and binds the eight entry points; aborts
  // the test binary when that fails, since nothing else can run.
  static std::unique_ptr<LibboxLibrary> Load(const std::string& path = BundlePath());
  static std::string BundlePath();

  // get_last_error as a string ("" for null), released through free_string.
  std::string LastError() const;
  std::string Version() const;
};

// Loads the shipped engine once per suite and sets it up; each test's service is stopped after
// it.
class LoadedEngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void TearDown() override;

  static LibboxLibrary* library_;
};

struct HttpReply {
  long status = 0;  // 0 when the request failed
  std::string content_type;
  bool has_content_type = false;
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names, the last value of each
};

// One HTTP request over loopback with libcurl.
HttpReply Http(const std::string& method,
               const std::string& url,
               const std::string& body = "",
               const std::map<std::string, std::string>& headers = {});

// The port in "... restful api listening at 127.0.0.1:PORT" of a log file; 0 when absent.
int ControllerPortFromLog(const std::string& log_text);

}  // namespace korvane_test

#endif  // TESTS_ENGINE_LIBBOX_LIBRARY_H_
