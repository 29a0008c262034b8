// The engine's C entry points (contract in libbox.h). Only these eight names leave the library
// (libbox.map).
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <string>

#include "engine/libbox.h"
#include "engine/service.h"
#include "engine/version.h"

#define BOX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Status { kIdle = 0, kCreated = 1, kRunning = 2 };

std::mutex g_mutex;
bool g_setup = false;
// setup_libbox's working path: relative log outputs land here, never in the host's directory.
std::string g_working_path;
std::unique_ptr<box::Service> g_service;
Status g_status = kIdle;
// Kept until the next create or start so that it can be asked for more than once.
std::string g_last_error;
bool g_has_error = false;

char* CopyString(const std::string& text) {
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text.c_str(), text.size() + 1);
  }
  return copy;
}

int Failure(const std::string& message) {
  g_last_error = message;
  g_has_error = true;
  return -1;
}

void ClearError() {
  g_last_error.clear();
  g_has_error = false;
}

}  // namespace

BOX_EXPORT int setup_libbox(const char* base_path,
                            const char* working_path,
                            const char* temp_path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ClearError();
  if (base_path == nullptr || working_path == nullptr || temp_path == nullptr) {
    return Failure("setup: missing path");
  }
  if (working_path[0] != '/') {
    return Failure(std::string("setup: working path is not absolute: ") + working_path);
  }
  g_working_path = working_path;
  g_setup = true;
  return 0;
}

BOX_EXPORT const char* get_version() {
  return CopyString(std::string("sing-box ") + box::kBoxVersion);
}

BOX_EXPORT int create_service(const char* config_json) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ClearError();
  if (!g_setup) {
    return Failure("create service: setup_libbox has not been called");
  }
  if (g_service) {
    return Failure("create service: a service already exists; stop it first");
  }
  if (config_json == nullptr) {
    return Failure("decode config: unexpected end of JSON input: row 1, column 0");
  }
  std::string error;
  g_service = box::Service::Create(config_json, g_working_path, &error);
  if (!g_service) {
    return Failure(error);
  }
  g_status = kCreated;
  return 0;
}

BOX_EXPORT int start_service() {
  std::lock_guard<std::mutex> lock(g_mutex);
  ClearError();
  if (!g_service) {
    return Failure("start service: no service created");
  }
  if (g_status == kRunning) {
    return Failure("start service: service already started");
  }
  std::string error;
  if (!g_service->Start(&error)) {
    return Failure(error);
  }
  g_status = kRunning;
  return 0;
}

BOX_EXPORT int stop_service() {
  std::lock_guard<std::mutex> lock(g_mutex);
  // Stopping when nothing runs leaves nothing to release: success.
  g_service.reset();
  g_status = kIdle;
  return 0;
}

BOX_EXPORT int get_status() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_status;
}

BOX_EXPORT const char* get_last_error() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_has_error ? CopyString(g_last_error) : nullptr;
}

BOX_EXPORT void free_string(const char* text) {
  free(const_cast<char*>(text));
}
