// The connection controller: engine preparation, connect, disconnect and shut-down.
//
// Everything here runs on the main thread. service_mutex_ is held across every create, start
// and stop of the engine service; StopBox expects its caller to hold it.

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "platform/platform_service.h"
#include "vpn/config_probe.h"
#include "vpn/engine_base_directory.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"
#include "vpn/vpn_preferences.h"

namespace {

constexpr char kException[] = "EXCEPTION";
constexpr char kProxyHost[] = "127.0.0.1";
constexpr size_t kConfigPreviewBytes = 500;

}  // namespace

void VPNManager::InitializeLibbox() {
  if (!LibboxInterface::Initialize()) {
    korvane::LogErr() << "Failed to initialize libbox interface";
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
  korvane::LogOut() << "Using cache directory: " << base << " (no chown required)";
  if (!LibboxInterface::Setup(base, working, temp)) {
    korvane::LogErr() << "Failed to setup libbox";
    return;
  }
  korvane::LogOut() << "libbox setup completed";
  libbox_handle_ = 1;
  korvane::LogOut() << "libbox initialized successfully";
}

void VPNManager::LoadVPNPreference(const std::string& config,
                                   bool auto_configure_proxy,
                                   FlMethodCall* call) {
  if (call == nullptr) {
    korvane::LogErr() << "Invalid method_call pointer";
    return;
  }
  try {
    if (!VPNPreferences::SaveConfig(config)) {
      throw std::runtime_error("Failed to save configuration");
    }
    {
      // A latency worker may be copying the configuration right now.
      std::lock_guard<std::mutex> lock(service_mutex_);
      current_config_ = config;
    }
    auto_configure_proxy_ = auto_configure_proxy;
    korvane::LogErr() << "[DEBUG] LoadVPNPreference: Storing autoConfigureProxy setting: "
                      << (auto_configure_proxy ? "true" : "false");
  } catch (const std::exception& e) {
    korvane::RespondError(call, kException, e.what());
    return;
  }

  korvane::RespondBool(call, true);

  try {
    SendStateUpdate("connecting");
    StartBox(config);
  } catch (const std::exception& e) {
    korvane::LogErr() << "Failed to start VPN after response: " << e.what();
    SendError(e.what());
    SendStateUpdate("disconnected");
  }
}

void VPNManager::DoConnectVPN(FlMethodCall* call) {
  korvane::LogErr() << "[VPN] DoConnectVPN: Starting VPN connection process";
  try {
    const std::string config = VPNPreferences::LoadConfig();
    if (config.empty()) {
      korvane::LogErr() << "[VPN ERROR] No saved configuration found";
      throw std::runtime_error("No saved configuration found");
    }
    korvane::LogErr() << "[VPN] Configuration loaded, size: " << config.size() << " bytes";
    korvane::LogErr() << "[VPN] Config preview: " << config.substr(0, kConfigPreviewBytes) << "...";
    {
      std::lock_guard<std::mutex> lock(service_mutex_);
      current_config_ = config;
    }
    korvane::LogErr() << "[VPN] Sending connecting state update";
    SendStateUpdate("connecting");
    korvane::LogErr() << "[VPN] Starting libbox service";
    StartBox(config);
    korvane::LogErr() << "[VPN] VPN connection initiated successfully";
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    korvane::LogErr() << "[VPN ERROR] DoConnectVPN exception: " << e.what();
    SendStateUpdate("disconnected");
    last_error_ = e.what();
    korvane::RespondError(call, kException, e.what());
  }
}

void VPNManager::Disconnect(FlMethodCall* call) {
  std::unique_lock<std::mutex> lock(service_mutex_);
  try {
    StopBox();
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    lock.unlock();
    korvane::RespondError(call, kException, e.what());
  }
}

void VPNManager::StopVPN(FlMethodCall* call) {
  Disconnect(call);
}

void VPNManager::DisconnectForNodeSwitching(FlMethodCall* call) {
  auto_reconnect_enabled_ = false;
  Disconnect(call);
}

void VPNManager::ConnectForNodeSwitching(const std::string& config, FlMethodCall* call) {
  auto_reconnect_enabled_ = true;
  LoadVPNPreference(config, auto_configure_proxy_, call);
}

void VPNManager::StartBox(const std::string& config) {
  std::lock_guard<std::mutex> lock(service_mutex_);
  korvane::LogErr() << "[VPN] StartBox: Acquiring service mutex";

  if (libbox_handle_ == 0) {
    LibboxLogBuffer::getInstance().startSession();
    korvane::LogErr() << "[VPN ERROR] libbox handle is null - libbox not initialized";
    const std::string load_error = LibboxInterface::GetLoadError();
    throw std::runtime_error(load_error.empty() ? "libbox not initialized - handle is null"
                                                : load_error);
  }
  korvane::LogErr() << "[VPN] libbox handle valid: 0x" << std::hex << libbox_handle_ << std::dec;

  if (is_running_) {
    korvane::LogErr() << "[VPN] Stopping existing service before starting new one";
    StopBox();
  }
  // Only now: the stop above ends the old session cleanly, which would mark a session opened
  // before it as ended cleanly too, and a crash of the new engine would go unreported.
  LibboxLogBuffer::getInstance().startSession();

  korvane::LogErr() << "[VPN] Creating new libbox service with config";
  if (!LibboxInterface::CreateService(config)) {
    const std::string text = LibboxInterface::GetLastError();
    korvane::LogErr() << "[VPN ERROR] Failed to create service: " << text;
    throw std::runtime_error(korvane::CreateFailureMessage(text));
  }

  korvane::LogErr() << "[VPN] Service created, starting service";
  if (!LibboxInterface::StartService()) {
    const std::string text = LibboxInterface::GetLastError();
    korvane::LogErr() << "[VPN ERROR] Failed to start service: " << text;
    LibboxInterface::StopService();
    PlatformService::Cleanup();
    throw std::runtime_error(korvane::StartFailureMessage(text));
  }

  korvane::LogErr() << "[VPN] Service started successfully";
  is_running_ = true;

  const bool mixed = korvane::HasMixedInbound(config);
  const bool configure_proxy = auto_configure_proxy_;
  korvane::LogErr() << "[DEBUG] Mixed mode detected: " << (mixed ? "YES" : "NO");
  korvane::LogErr() << "[DEBUG] Auto-configure proxy setting: " << (configure_proxy ? "YES" : "NO");
  if (mixed && configure_proxy) {
    const int port = korvane::FindMixedInboundPort(config);
    korvane::LogErr() << "[INFO] Mixed mode detected, configuring system proxy on port " << port
                      << "...";
    if (ProxyManager::EnableSystemProxy(kProxyHost, port)) {
      korvane::LogErr() << "[SUCCESS] System proxy configured for 127.0.0.1:" << port;
    } else {
      korvane::LogErr() << "[WARNING] Failed to configure system proxy";
    }
  } else if (mixed) {
    korvane::LogErr()
        << "[INFO] Mixed mode detected, but auto-configure proxy is disabled in settings";
  } else {
    korvane::LogErr() << "[INFO] TUN mode detected, no proxy configuration needed";
  }

  SendStateUpdate("connected");
  korvane::LogOut() << "VPN connected successfully";
}

void VPNManager::StopBox() {
  if (is_running_) {
    ++service_stops_;
    SendStateUpdate("disconnecting");
    LibboxInterface::StopService();
  }
  korvane::LogErr() << "[INFO] Disabling system proxy...";
  if (ProxyManager::DisableSystemProxy()) {
    korvane::LogErr() << "[SUCCESS] System proxy disabled";
  } else {
    korvane::LogErr() << "[WARNING] Failed to disable system proxy";
  }
  LibboxLogBuffer::getInstance().endSessionCleanly();
  is_running_ = false;
  SendStateUpdate("disconnected");
  korvane::LogOut() << "VPN disconnected successfully";
}

void VPNManager::Shutdown() {
  std::lock_guard<std::mutex> lock(service_mutex_);
  if (is_running_) {
    try {
      StopBox();
    } catch (const std::exception& e) {
      korvane::LogErr() << "[VPN] Shutdown stop failed: " << e.what();
    }
  }
  PlatformService::Cleanup();
  LibboxInterface::Cleanup();
  libbox_handle_ = 0;
}
