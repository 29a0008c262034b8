// The connection controller: engine preparation, connect, disconnect and shut-down.
//
// Everything here runs on the main thread. service_mutex_ is held across every create, start
// and stop of the engine service; StopBox expects its caller to hold it.

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/platform_service.h"
#include "platform/proxy_manager.h"
#include "vpn/config_probe.h"
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
    std::cerr << "Failed to initialize libbox interface" << std::endl;
    return;
  }
  const std::string config_dir = VPNPreferences::GetConfigDirectory();
  const std::string base = "/tmp/korvane-" + std::to_string(getuid());
  const std::string working = config_dir + "/working";
  const std::string temp = config_dir + "/temp";
  // A directory that cannot be made is left for the engine's set-up to report.
  VPNPreferences::CreateDirectory(working);
  VPNPreferences::CreateDirectory(temp);
  VPNPreferences::CreateDirectory(base);
  std::cout << "Using cache directory: " << base << " (no chown required)" << std::endl;
  if (!LibboxInterface::Setup(base, working, temp)) {
    std::cerr << "Failed to setup libbox" << std::endl;
    return;
  }
  std::cout << "libbox setup completed" << std::endl;
  libbox_handle_ = 1;
  std::cout << "libbox initialized successfully" << std::endl;
}

void VPNManager::LoadVPNPreference(const std::string& config,
                                   bool auto_configure_proxy,
                                   FlMethodCall* call) {
  if (call == nullptr) {
    std::cerr << "Invalid method_call pointer" << std::endl;
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
    std::cerr << "[DEBUG] LoadVPNPreference: Storing autoConfigureProxy setting: "
              << (auto_configure_proxy ? "true" : "false") << std::endl;
  } catch (const std::exception& e) {
    korvane::RespondError(call, kException, e.what());
    return;
  }

  korvane::RespondBool(call, true);

  try {
    SendStateUpdate("connecting");
    StartBox(config);
  } catch (const std::exception& e) {
    std::cerr << "Failed to start VPN after response: " << e.what() << std::endl;
    SendError(e.what());
    SendStateUpdate("disconnected");
  }
}

void VPNManager::DoConnectVPN(FlMethodCall* call) {
  std::cerr << "[VPN] DoConnectVPN: Starting VPN connection process" << std::endl;
  try {
    const std::string config = VPNPreferences::LoadConfig();
    if (config.empty()) {
      std::cerr << "[VPN ERROR] No saved configuration found" << std::endl;
      throw std::runtime_error("No saved configuration found");
    }
    std::cerr << "[VPN] Configuration loaded, size: " << config.size() << " bytes" << std::endl;
    std::cerr << "[VPN] Config preview: " << config.substr(0, kConfigPreviewBytes) << "..."
              << std::endl;
    {
      std::lock_guard<std::mutex> lock(service_mutex_);
      current_config_ = config;
    }
    std::cerr << "[VPN] Sending connecting state update" << std::endl;
    SendStateUpdate("connecting");
    std::cerr << "[VPN] Starting libbox service" << std::endl;
    StartBox(config);
    std::cerr << "[VPN] VPN connection initiated successfully" << std::endl;
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    std::cerr << "[VPN ERROR] DoConnectVPN exception: " << e.what() << std::endl;
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
  std::cerr << "[VPN] StartBox: Acquiring service mutex" << std::endl;

  if (libbox_handle_ == 0) {
    LibboxLogBuffer::getInstance().startSession();
    std::cerr << "[VPN ERROR] libbox handle is null - libbox not initialized" << std::endl;
    const std::string load_error = LibboxInterface::GetLoadError();
    throw std::runtime_error(load_error.empty() ? "libbox not initialized - handle is null"
                                                : load_error);
  }
  std::cerr << "[VPN] libbox handle valid: 0x" << std::hex << libbox_handle_ << std::dec
            << std::endl;

  if (is_running_) {
    std::cerr << "[VPN] Stopping existing service before starting new one" << std::endl;
    StopBox();
  }
  // Only now: the stop above ends the old session cleanly, which would mark a session opened
  // before it as ended cleanly too, and a crash of the new engine would go unreported.
  LibboxLogBuffer::getInstance().startSession();

  std::cerr << "[VPN] Creating new libbox service with config" << std::endl;
  if (!LibboxInterface::CreateService(config)) {
    const std::string text = LibboxInterface::GetLastError();
    std::cerr << "[VPN ERROR] Failed to create service: " << text << std::endl;
    throw std::runtime_error(korvane::CreateFailureMessage(text));
  }

  std::cerr << "[VPN] Service created, starting service" << std::endl;
  if (!LibboxInterface::StartService()) {
    const std::string text = LibboxInterface::GetLastError();
    std::cerr << "[VPN ERROR] Failed to start service: " << text << std::endl;
    LibboxInterface::StopService();
    PlatformService::Cleanup();
    throw std::runtime_error(korvane::StartFailureMessage(text));
  }

  std::cerr << "[VPN] Service started successfully" << std::endl;
  is_running_ = true;

  const bool mixed = korvane::HasMixedInbound(config);
  const bool configure_proxy = auto_configure_proxy_;
  std::cerr << "[DEBUG] Mixed mode detected: " << (mixed ? "YES" : "NO") << std::endl;
  std::cerr << "[DEBUG] Auto-configure proxy setting: " << (configure_proxy ? "YES" : "NO")
            << std::endl;
  if (mixed && configure_proxy) {
    const int port = korvane::FindMixedInboundPort(config);
    std::cerr << "[INFO] Mixed mode detected, configuring system proxy on port " << port << "..."
              << std::endl;
    if (ProxyManager::EnableSystemProxy(kProxyHost, port)) {
      std::cerr << "[SUCCESS] System proxy configured for 127.0.0.1:" << port << std::endl;
    } else {
      std::cerr << "[WARNING] Failed to configure system proxy" << std::endl;
    }
  } else if (mixed) {
    std::cerr << "[INFO] Mixed mode detected, but auto-configure proxy is disabled in settings"
              << std::endl;
  } else {
    std::cerr << "[INFO] TUN mode detected, no proxy configuration needed" << std::endl;
  }

  SendStateUpdate("connected");
  std::cout << "VPN connected successfully" << std::endl;
}

void VPNManager::StopBox() {
  if (is_running_) {
    ++service_stops_;
    SendStateUpdate("disconnecting");
    LibboxInterface::StopService();
  }
  std::cerr << "[INFO] Disabling system proxy..." << std::endl;
  if (ProxyManager::DisableSystemProxy()) {
    std::cerr << "[SUCCESS] System proxy disabled" << std::endl;
  } else {
    std::cerr << "[WARNING] Failed to disable system proxy" << std::endl;
  }
  LibboxLogBuffer::getInstance().endSessionCleanly();
  is_running_ = false;
  SendStateUpdate("disconnected");
  std::cout << "VPN disconnected successfully" << std::endl;
}

void VPNManager::Shutdown() {
  std::lock_guard<std::mutex> lock(service_mutex_);
  if (is_running_) {
    try {
      StopBox();
    } catch (const std::exception& e) {
      std::cerr << "[VPN] Shutdown stop failed: " << e.what() << std::endl;
    }
  }
  PlatformService::Cleanup();
  LibboxInterface::Cleanup();
  libbox_handle_ = 0;
}
