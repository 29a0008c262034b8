// Service operations over the bound entry points: set-up, create, start, stop and queries.
#include <stdlib.h>

#include "base/log.h"
#include "base/logger.h"
#include "core/libbox_interface.h"

namespace {

constexpr korvane::Logger kLog(korvane::kNoTag);
constexpr korvane::Logger kLibboxLog(korvane::kLibboxTag);

constexpr char kNotInitialized[] = "libbox not initialized";

const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

}  // namespace

bool LibboxInterface::Setup(const std::string& base_path,
                            const std::string& working_path,
                            const std::string& temp_path) {
  if (setup_libbox_ == nullptr) {
    kLog.Error() << kNotInitialized;
    return false;
  }
  // The engine must not try to hand its files to another owner.
  setenv("LIBBOX_DISABLE_CHOWN", "1", 1);
  kLog.Info() << "Setting up libbox with paths:";
  kLog.Info() << "  Base: " << base_path;
  kLog.Info() << "  Working: " << working_path;
  kLog.Info() << "  Temp: " << temp_path;
  const int code = setup_libbox_(base_path.c_str(), working_path.c_str(), temp_path.c_str());
  kLog.Info() << "libbox setup_libbox returned: " << code;
  if (code != 0) {
    kLog.Error() << "Failed to setup libbox: " << code;
    return false;
  }
  initialized_ = true;
  kLog.Info() << "libbox setup completed successfully";
  return true;
}

bool LibboxInterface::CreateService(const std::string& config_json) {
  if (create_service_ == nullptr) {
    kLog.Error() << kNotInitialized;
    return false;
  }
  if (!initialized_) {
    kLog.Error() << "libbox not setup";
    return false;
  }
  if (service_created_) {
    StopService();
  }
  const int code = create_service_(config_json.c_str());
  if (code != 0) {
    kLog.Error() << "Failed to create service (code " << code << "): " << FailureMessage();
    return false;
  }
  service_created_ = true;
  kLog.Info() << "Service created successfully";
  return true;
}

bool LibboxInterface::StartService() {
  if (start_service_ == nullptr) {
    kLog.Error() << kNotInitialized;
    return false;
  }
  if (!service_created_) {
    kLog.Error() << "service not created";
    return false;
  }
  kLog.Info() << "Attempting to start libbox service...";
  kLog.Info() << "libbox initialized: " << YesNo(initialized_);
  kLog.Info() << "service created: " << YesNo(service_created_);
  const int code = start_service_();
  kLog.Info() << "libbox start_service returned: " << code;
  if (code != 0) {
    kLog.Error() << "Failed to start service (code " << code << "): " << FailureMessage();
    return false;
  }
  kLog.Info() << "Service started successfully";
  return true;
}

bool LibboxInterface::StopService() {
  if (stop_service_ == nullptr) {
    kLog.Error() << kNotInitialized;
    return false;
  }
  const int code = stop_service_();
  if (code != 0) {
    kLog.Error() << "Failed to stop service: " << code;
    return false;
  }
  service_created_ = false;
  kLog.Info() << "Service stopped successfully";
  return true;
}

int LibboxInterface::GetStatus() {
  if (get_status_ == nullptr) {
    kLog.Error() << kNotInitialized;
    return -1;
  }
  return get_status_();
}

std::string LibboxInterface::GetVersion() {
  if (get_version_ == nullptr) {
    return "unknown";
  }
  const char* version = get_version_();
  if (version == nullptr) {
    return "unknown";
  }
  std::string copy(version);
  FreeString(version);
  return copy;
}

std::string LibboxInterface::GetLastError() {
  if (get_last_error_ == nullptr) {
    kLibboxLog.Error() << "GetLastError: get_last_error_ is null";
    return "libbox not initialized (no error getter)";
  }
  const char* text = get_last_error_();
  if (text == nullptr) {
    return "No error message available";
  }
  std::string copy(text);
  kLibboxLog.Error() << "Last error from libbox: " << copy;
  FreeString(text);
  return copy;
}

void LibboxInterface::FreeString(const char* text) {
  if (text != nullptr && free_string_ != nullptr) {
    free_string_(text);
  }
}

std::string LibboxInterface::FailureMessage() {
  if (get_last_error_ != nullptr) {
    const char* text = get_last_error_();
    if (text != nullptr) {
      std::string copy(text);
      FreeString(text);
      return copy;
    }
  }
  return "Unknown error";
}
