// Service operations over the bound entry points: set-up, create, start, stop and queries.
#include <stdlib.h>

#include <iostream>

#include "core/libbox_interface.h"

namespace {

constexpr char kNotInitialized[] = "libbox not initialized";

const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

}  // namespace

bool LibboxInterface::Setup(const std::string& base_path,
                            const std::string& working_path,
                            const std::string& temp_path) {
  if (setup_libbox_ == nullptr) {
    std::cerr << kNotInitialized << std::endl;
    return false;
  }
  // The engine must not try to hand its files to another owner.
  setenv("LIBBOX_DISABLE_CHOWN", "1", 1);
  std::cout << "Setting up libbox with paths:" << std::endl;
  std::cout << "  Base: " << base_path << std::endl;
  std::cout << "  Working: " << working_path << std::endl;
  std::cout << "  Temp: " << temp_path << std::endl;
  const int code = setup_libbox_(base_path.c_str(), working_path.c_str(), temp_path.c_str());
  std::cout << "libbox setup_libbox returned: " << code << std::endl;
  if (code != 0) {
    std::cerr << "Failed to setup libbox: " << code << std::endl;
    return false;
  }
  initialized_ = true;
  std::cout << "libbox setup completed successfully" << std::endl;
  return true;
}

bool LibboxInterface::CreateService(const std::string& config_json) {
  if (create_service_ == nullptr) {
    std::cerr << kNotInitialized << std::endl;
    return false;
  }
  if (!initialized_) {
    std::cerr << "libbox not setup" << std::endl;
    return false;
  }
  if (service_created_) {
    StopService();
  }
  const int code = create_service_(config_json.c_str());
  if (code != 0) {
    std::cerr << "Failed to create service (code " << code << "): " << FailureMessage()
              << std::endl;
    return false;
  }
  service_created_ = true;
  std::cout << "Service created successfully" << std::endl;
  return true;
}

bool LibboxInterface::StartService() {
  if (start_service_ == nullptr) {
    std::cerr << kNotInitialized << std::endl;
    return false;
  }
  if (!service_created_) {
    std::cerr << "service not created" << std::endl;
    return false;
  }
  std::cout << "Attempting to start libbox service..." << std::endl;
  std::cout << "libbox initialized: " << YesNo(initialized_) << std::endl;
  std::cout << "service created: " << YesNo(service_created_) << std::endl;
  const int code = start_service_();
  std::cout << "libbox start_service returned: " << code << std::endl;
  if (code != 0) {
    std::cerr << "Failed to start service (code " << code << "): " << FailureMessage() << std::endl;
    return false;
  }
  std::cout << "Service started successfully" << std::endl;
  return true;
}

bool LibboxInterface::StopService() {
  if (stop_service_ == nullptr) {
    std::cerr << kNotInitialized << std::endl;
    return false;
  }
  const int code = stop_service_();
  if (code != 0) {
    std::cerr << "Failed to stop service: " << code << std::endl;
    return false;
  }
  service_created_ = false;
  std::cout << "Service stopped successfully" << std::endl;
  return true;
}

int LibboxInterface::GetStatus() {
  if (get_status_ == nullptr) {
    std::cerr << kNotInitialized << std::endl;
    return -1;
  }
  return get_status_();
}

std::string LibboxInterface::GetVersion() {
  if (get_version_ == nullptr) {
    return "unknown";
  }
  char* version = get_version_();
  if (version == nullptr) {
    return "unknown";
  }
  std::string copy(version);
  FreeString(version);
  return copy;
}

std::string LibboxInterface::GetLastError() {
  if (get_last_error_ == nullptr) {
    std::cerr << "[LIBBOX] GetLastError: get_last_error_ is null" << std::endl;
    return "libbox not initialized (no error getter)";
  }
  char* text = get_last_error_();
  if (text == nullptr) {
    return "No error message available";
  }
  std::string copy(text);
  std::cerr << "[LIBBOX] Last error from libbox: " << copy << std::endl;
  FreeString(text);
  return copy;
}

void LibboxInterface::FreeString(char* text) {
  if (text != nullptr && free_string_ != nullptr) {
    free_string_(text);
  }
}

std::string LibboxInterface::FailureMessage() {
  if (get_last_error_ != nullptr) {
    char* text = get_last_error_();
    if (text != nullptr) {
      std::string copy(text);
      FreeString(text);
      return copy;
    }
  }
  return "Unknown error";
}
