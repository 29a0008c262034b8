#include "tests/engine/libbox_library.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

namespace korvane_test {

std::string LibboxLibrary::BundlePath() {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  return std::string(bundle == nullptr ? "bundle" : bundle) + "/lib/libbox.so";
}

std::unique_ptr<LibboxLibrary> LibboxLibrary::Load(const std::string& path) {
  auto library = std::make_unique<LibboxLibrary>();
  library->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library->handle == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
    abort();
  }
  auto bind = [&](auto* slot, const char* name) {
    void* symbol = dlsym(library->handle, name);
    if (symbol == nullptr) {
      fprintf(stderr, "missing entry point %s in %s\n", name, path.c_str());
      abort();
    }
    *slot = reinterpret_cast<std::remove_pointer_t<decltype(slot)>>(symbol);
  };
  bind(&library->setup_libbox, "setup_libbox");
  bind(&library->get_version, "get_version");
  bind(&library->create_service, "create_service");
  bind(&library->start_service, "start_service");
  bind(&library->stop_service, "stop_service");
  bind(&library->get_status, "get_status");
  bind(&library->get_last_error, "get_last_error");
  bind(&library->free_string, "free_string");
  return library;
}

std::string LibboxLibrary::LastError() const {
  const char* text = get_last_error();
  if (text == nullptr) {
    return "";
  }
  std::string copy = text;
  free_string(text);
  return copy;
}

std::string LibboxLibrary::Version() const {
  const char* text = get_version();
  if (text == nullptr) {
    return "";
  }
  std::string copy = text;
  free_string(text);
  return copy;
}

LibboxLibrary* LoadedEngineTest::library_ = nullptr;

void LoadedEngineTest::SetUpTestSuite() {
  library_ = LibboxLibrary::Load().release();
  ASSERT_EQ(library_->setup_libbox("/tmp", "/tmp", "/tmp"), 0);
}

void LoadedEngineTest::TearDownTestSuite() {
  delete library_;
  library_ = nullptr;
}

void LoadedEngineTest::TearDown() {
  library_->stop_service();
}

namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One header line ("Name: value\r\n") into the reply's map.
size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
  std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t start = line.find_first_not_of(' ', colon + 1);
    const size_t end = line.find_last_not_of("\r\n");
    (*static_cast<std::map<std::string, std::string>*>(user))[name] =
        start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
  }
  return size * count;
}

}  // namespace

HttpReply Http(const std::string& method,
               const std::string& url,
               const std::string& body,
               const std::map<std::string, std::string>& headers) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpReply reply;
  CURL* curl = curl_easy_init();
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    list = curl_slist_append(list, (name + ": " + value).c_str());
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "PUT" || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    if (type != nullptr) {
      reply.content_type = type;
      reply.has_content_type = true;
    }
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return reply;
}

int ControllerPortFromLog(const std::string& log_text) {
  std::smatch match;
  static const std::regex kLine("restful api listening at 127\\.0\\.0\\.1:(\\d+)");
  if (std::regex_search(log_text, match, kLine)) {
    return std::stoi(match[1]);
  }
  return 0;
}

}  // namespace korvane_test
