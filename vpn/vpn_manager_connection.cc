// The connection controller: engine preparation, connect, disconnect and shut-down.
//
// Everything here runs on the main thread. service_mutex_ is held across every create, start
// and stop of the engine service; StopBox expects its caller to hold it.

#include <unistd.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "base/logger.h"
#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/platform_service.h"
#include "platform/proxy_manager.h"
#include "vpn/config_probe.h"
#include "vpn/engine_base_directory.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_preferences.h"

namespace {

using korvane::Outcome;

constexpr korvane::Logger kLog("");
constexpr korvane::Logger kVpnLog(korvane::kVPNTag);
constexpr korvane::Logger kVpnErrorLog(korvane::kVPNErrorTag);
constexpr korvane::Logger kDebugLog(korvane::kDebugTag);
constexpr korvane::Logger kInfoLog(korvane::kInfoTag);
constexpr korvane::Logger kSuccessLog(korvane::kSuccessTag);
constexpr korvane::Logger kWarningLog(korvane::kWarningTag);

constexpr char kProxyHost[] = "127.0.0.1";
constexpr size_t kConfigPreviewBytes = 500;

}  // namespace

korvane::ConfigFacts VPNManager::current_facts_;

void VPNManager::InitializeLibbox() {
  if (!LibboxInterface::Initialize()) {
    kLog.Error() << "Failed to initialize libbox interface";
    return;
  }
  const std::string config_dir = VPNPreferences::GetConfigDirectory();
  const std::string working = config_dir + "/working";
  const std::string temp = config_dir + "/temp";
  // A directory that cannot be made is left for the engine's set-up to report.
  VPNPreferences::CreateDirectory(working);
  VPNPreferences::CreateDirectory(temp);
  const std::string base = korvane::PrepareEngineBaseDirectory(config_dir);
  if (base.empty()) {
    return;  // said why; the engine stays unset, and connecting reports it
  }
  kLog.Info() << "Using cache directory: " << base << " (no chown required)";
  if (!LibboxInterface::Setup(base, working, temp)) {
    kLog.Error() << "Failed to setup libbox";
    return;
  }
  kLog.Info() << "libbox setup completed";
  libbox_handle_ = 1;
  kLog.Info() << "libbox initialized successfully";
}

void VPNManager::SetCurrentConfig(const std::string& config) {
  // A latency worker may be copying the configuration right now.
  korvane::ConfigFacts facts = korvane::ConfigFacts::Read(config);
  std::lock_guard<std::mutex> lock(service_mutex_);
  current_config_ = config;
  current_facts_ = std::move(facts);
}

Outcome VPNManager::LoadVPNPreference(const std::string& config, bool auto_configure_proxy) {
  try {
    if (!VPNPreferences::SaveConfig(config)) {
      throw std::runtime_error("Failed to save configuration");
    }
    SetCurrentConfig(config);
    auto_configure_proxy_ = auto_configure_proxy;
    kDebugLog.Error() << "LoadVPNPreference: Storing autoConfigureProxy setting: "
                      << (auto_configure_proxy ? "true" : "false");
  } catch (const std::exception& e) {
    return Outcome::Failure(korvane::kExceptionCode, e.what());
  }
  return Outcome::Ok(true);
}

void VPNManager::ConnectLoaded(const std::string& config) {
  try {
    SendStateUpdate("connecting");
    StartBox(config);
  } catch (const std::exception& e) {
    kLog.Error() << "Failed to start VPN after response: " << e.what();
    SendError(e.what());
    SendStateUpdate("disconnected");
  }
}

Outcome VPNManager::DoConnectVPN() {
  kVpnLog.Error() << "DoConnectVPN: Starting VPN connection process";
  try {
    const std::string config = VPNPreferences::LoadConfig();
    if (config.empty()) {
      kVpnErrorLog.Error() << "No saved configuration found";
      throw std::runtime_error("No saved configuration found");
    }
    kVpnLog.Error() << "Configuration loaded, size: " << config.size() << " bytes";
    kVpnLog.Error() << "Config preview: " << config.substr(0, kConfigPreviewBytes) << "...";
    SetCurrentConfig(config);
    kVpnLog.Error() << "Sending connecting state update";
    SendStateUpdate("connecting");
    kVpnLog.Error() << "Starting libbox service";
    StartBox(config);
    kVpnLog.Error() << "VPN connection initiated successfully";
    return Outcome::Ok(true);
  } catch (const std::exception& e) {
    kVpnErrorLog.Error() << "DoConnectVPN exception: " << e.what();
    SendStateUpdate("disconnected");
    last_error_ = e.what();
    return Outcome::Failure(korvane::kExceptionCode, e.what());
  }
}

Outcome VPNManager::Disconnect() {
  std::unique_lock<std::mutex> lock(service_mutex_);
  try {
    StopBox();
    return Outcome::Ok(true);
  } catch (const std::exception& e) {
    return Outcome::Failure(korvane::kExceptionCode, e.what());
  }
}

Outcome VPNManager::StopVPN() {
  return Disconnect();
}

Outcome VPNManager::DisconnectForNodeSwitching() {
  auto_reconnect_enabled_ = false;
  return Disconnect();
}

Outcome VPNManager::ConnectForNodeSwitching(const std::string& config) {
  auto_reconnect_enabled_ = true;
  return LoadVPNPreference(config, auto_configure_proxy_);
}

void VPNManager::StartBox(const std::string& config) {
  std::lock_guard<std::mutex> lock(service_mutex_);
  kVpnLog.Error() << "StartBox: Acquiring service mutex";

  if (libbox_handle_ == 0) {
    LibboxLogBuffer::getInstance().startSession();
    kVpnErrorLog.Error() << "libbox handle is null - libbox not initialized";
    const std::string load_error = LibboxInterface::GetLoadError();
    throw std::runtime_error(load_error.empty() ? "libbox not initialized - handle is null"
                                                : load_error);
  }
  kVpnLog.Error() << "libbox handle valid: 0x" << std::hex << libbox_handle_ << std::dec;

  if (is_running_) {
    kVpnLog.Error() << "Stopping existing service before starting new one";
    StopBox();
  }
  // Only now: the stop above ends the old session cleanly, which would mark a session opened
  // before it as ended cleanly too, and a crash of the new engine would go unreported.
  LibboxLogBuffer::getInstance().startSession();

  kVpnLog.Error() << "Creating new libbox service with config";
  if (!LibboxInterface::CreateService(config)) {
    const std::string text = LibboxInterface::GetLastError();
    kVpnErrorLog.Error() << "Failed to create service: " << text;
    throw std::runtime_error(korvane::CreateFailureMessage(text));
  }

  kVpnLog.Error() << "Service created, starting service";
  if (!LibboxInterface::StartService()) {
    const std::string text = LibboxInterface::GetLastError();
    kVpnErrorLog.Error() << "Failed to start service: " << text;
    LibboxInterface::StopService();
    PlatformService::Cleanup();
    throw std::runtime_error(korvane::StartFailureMessage(text));
  }

  kVpnLog.Error() << "Service started successfully";
  is_running_ = true;

  // The facts were read when this configuration arrived.
  const bool mixed = current_facts_.has_mixed_inbound;
  const bool configure_proxy = auto_configure_proxy_;
  kDebugLog.Error() << "Mixed mode detected: " << (mixed ? "YES" : "NO");
  kDebugLog.Error() << "Auto-configure proxy setting: " << (configure_proxy ? "YES" : "NO");
  if (mixed && configure_proxy) {
    const int port = current_facts_.mixed_port;
    kInfoLog.Error() << "Mixed mode detected, configuring system proxy on port " << port << "...";
    if (ProxyManager::EnableSystemProxy(kProxyHost, port)) {
      kSuccessLog.Error() << "System proxy configured for 127.0.0.1:" << port;
    } else {
      kWarningLog.Error() << "Failed to configure system proxy";
    }
  } else if (mixed) {
    kInfoLog.Error() << "Mixed mode detected, but auto-configure proxy is disabled in settings";
  } else {
    kInfoLog.Error() << "TUN mode detected, no proxy configuration needed";
  }

  SendStateUpdate("connected");
  kLog.Info() << "VPN connected successfully";
}

void VPNManager::StopBox() {
  if (is_running_) {
    ++service_stops_;
    SendStateUpdate("disconnecting");
    LibboxInterface::StopService();
  }
  kInfoLog.Error() << "Disabling system proxy...";
  if (ProxyManager::DisableSystemProxy()) {
    kSuccessLog.Error() << "System proxy disabled";
  } else {
    kWarningLog.Error() << "Failed to disable system proxy";
  }
  LibboxLogBuffer::getInstance().endSessionCleanly();
  is_running_ = false;
  SendStateUpdate("disconnected");
  kLog.Info() << "VPN disconnected successfully";
}

void VPNManager::Shutdown() {
  std::lock_guard<std::mutex> lock(service_mutex_);
  if (is_running_) {
    try {
      StopBox();
    } catch (const std::exception& e) {
      kVpnLog.Error() << "Shutdown stop failed: " << e.what();
    }
  }
  PlatformService::Cleanup();
  LibboxInterface::Cleanup();
  libbox_handle_ = 0;
}
