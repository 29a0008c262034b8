// Test access to the engine exactly as it ships: bundle/lib/libbox.so loaded with dlopen, plus
// small helpers (temporary directories, files, HTTP over loopback) shared by the engine tests.
#ifndef TESTS_ENGINE_LIBBOX_LIBRARY_H_
#define TESTS_ENGINE_LIBBOX_LIBRARY_H_

#include <map>
#include <memory>
#include <string>

namespace box_test {

struct LibboxLibrary {
  void* handle = nullptr;
  int (*setup_libbox)(const char*, const char*, const char*) = nullptr;
  const char* (*get_version)() = nullptr;
  int (*create_service)(const char*) = nullptr;
  int (*start_service)() = nullptr;
  int (*stop_service)() = nullptr;
  int (*get_status)() = nullptr;
  const char* (*get_last_error)() = nullptr;
  void (*free_string)(const char*) = nullptr;

  // Loads `path` (the bundle's library by default) and binds the eight entry points; aborts
  // the test binary when that fails, since nothing else can run.
  static std::unique_ptr<LibboxLibrary> Load(const std::string& path = BundlePath());
  static std::string BundlePath();

  // get_last_error as a string ("" for null), released through free_string.
  std::string LastError() const;
  std::string Version() const;
};

// A private directory removed with its contents when dropped.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Runs a shell command; returns its exit status and puts standard output and error in *output.
int RunCommand(const std::string& command, std::string* output);

struct HttpReply {
  long status = 0;  // 0 when the request failed
  std::string content_type;
  bool has_content_type = false;
  std::string body;
};

// One HTTP request over loopback with libcurl.
HttpReply Http(const std::string& method,
               const std::string& url,
               const std::string& body = "",
               const std::map<std::string, std::string>& headers = {});

// The port in "... restful api listening at 127.0.0.1:PORT" of a log file; 0 when absent.
int ControllerPortFromLog(const std::string& log_text);

}  // namespace box_test

#endif  // TESTS_ENGINE_LIBBOX_LIBRARY_H_
