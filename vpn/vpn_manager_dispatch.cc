// The dispatcher of "com.quorandel.korvane/vpn": every method name, its argument checks and the
// operation that answers it. Every call gets exactly one response.

#include <exception>
#include <iostream>
#include <optional>
#include <string>

#include "core/libbox_log_buffer.h"
#include "platform/platform_service.h"
#include "platform/proxy_manager.h"
#include "vpn/clash_queries.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"

namespace {

using korvane::RespondBool;
using korvane::RespondError;
using korvane::RespondNotAvailable;
using korvane::RespondString;

constexpr char kInvalidArgument[] = "INVALID_ARGUMENT";
constexpr char kInvalidArguments[] = "INVALID_ARGUMENTS";
constexpr char kVpnNotConnected[] = "VPN_NOT_CONNECTED";

constexpr char kConfigRequired[] = "Config required";
constexpr char kMapRequired[] = "Map required";
constexpr char kPathRequired[] = "Path required";
constexpr char kInstallDirRequired[] = "installDir required";
constexpr char kBooleanRequired[] = "Boolean required";
constexpr char kUrlTestArgumentsRequired[] = "Arguments required for performUrlTest";
constexpr char kUrlTestNotConnected[] = "VPN must be connected to perform URL test";
constexpr char kSelectorNotConnected[] = "VPN must be connected to get auto selector info";

constexpr char kConfigKey[] = "config";
constexpr char kAutoConfigureProxyKey[] = "autoConfigureProxy";
constexpr char kPathKey[] = "path";
constexpr char kInstallDirKey[] = "installDir";
constexpr char kTestUrlKey[] = "testUrl";
constexpr char kTimeoutKey[] = "timeout";
constexpr char kSelectorTagKey[] = "selectorTag";
constexpr char kDefaultSelectorTag[] = "proxy";
constexpr int kDefaultUrlTestTimeoutMs = 5000;

bool IsMap(FlValue* value) {
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_MAP;
}

// The string under `key` of a map argument, or nullptr when absent or not a string.
const gchar* LookupString(FlValue* map, const char* key) {
  if (!IsMap(map)) {
    return nullptr;
  }
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return nullptr;
  }
  return fl_value_get_string(value);
}

// Reads the "path"-style string key of a map argument, answering the argument error itself.
bool RequireMapString(FlMethodCall* call,
                      FlValue* args,
                      const char* key,
                      const char* missing_message,
                      std::string* out) {
  if (!IsMap(args)) {
    RespondError(call, kInvalidArgument, kMapRequired);
    return false;
  }
  const gchar* value = LookupString(args, key);
  if (value == nullptr) {
    RespondError(call, kInvalidArgument, missing_message);
    return false;
  }
  *out = value;
  return true;
}

bool RequireBool(FlMethodCall* call, FlValue* args, bool* out) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_BOOL) {
    RespondError(call, kInvalidArgument, kBooleanRequired);
    return false;
  }
  *out = fl_value_get_bool(args);
  return true;
}

void HandleLoadVPNPreference(FlMethodCall* call, FlValue* args) {
  const FlValueType type = args ? fl_value_get_type(args) : FL_VALUE_TYPE_NULL;
  if (type == FL_VALUE_TYPE_LIST) {
    FlValue* first = fl_value_get_length(args) > 0 ? fl_value_get_list_value(args, 0) : nullptr;
    if (first == nullptr || fl_value_get_type(first) != FL_VALUE_TYPE_STRING) {
      RespondError(call, kInvalidArgument, kConfigRequired);
      return;
    }
    VPNManager::LoadVPNPreference(fl_value_get_string(first), true, call);
    return;
  }
  const gchar* config = LookupString(args, kConfigKey);
  if (config == nullptr) {
    RespondError(call, kInvalidArgument, kConfigRequired);
    return;
  }
  bool auto_configure_proxy = true;
  FlValue* flag = fl_value_lookup_string(args, kAutoConfigureProxyKey);
  if (flag != nullptr && fl_value_get_type(flag) == FL_VALUE_TYPE_BOOL) {
    auto_configure_proxy = fl_value_get_bool(flag);
  }
  std::cerr << "[DEBUG] Received autoConfigureProxy setting: "
            << (auto_configure_proxy ? "true" : "false") << std::endl;
  VPNManager::LoadVPNPreference(config, auto_configure_proxy, call);
}

void HandleIsRunning(FlMethodCall* call, FlValue*) {
  RespondBool(call, VPNManager::IsRunning());
}

void HandleGetStatus(FlMethodCall* call, FlValue*) {
  RespondString(call, VPNManager::GetStatus());
}

void HandleCheckAdminPrivileges(FlMethodCall* call, FlValue*) {
  RespondBool(call, VPNManager::CheckAdminPrivileges());
}

void HandleRequestAdminPrivileges(FlMethodCall* call, FlValue*) {
  VPNManager::RequestAdminPrivileges(call);
}

void HandleSetCapabilityOnPath(FlMethodCall* call, FlValue* args) {
  std::string path;
  if (RequireMapString(call, args, kPathKey, kPathRequired, &path)) {
    VPNManager::SetCapabilityOnPath(path, call);
  }
}

void HandleGetExecutableCapabilities(FlMethodCall* call, FlValue* args) {
  std::string path;
  if (RequireMapString(call, args, kPathKey, kPathRequired, &path)) {
    VPNManager::GetExecutableCapabilities(path, call);
  }
}

void HandleRestartApp(FlMethodCall* call, FlValue*) {
  RespondNotAvailable(call, "restartApp");
}

void HandleRestartFromInstallDir(FlMethodCall* call, FlValue* args) {
  std::string install_dir;
  if (!RequireMapString(call, args, kInstallDirKey, kInstallDirRequired, &install_dir)) {
    return;
  }
  RespondNotAvailable(call, "restartFromInstallDir");
}

void HandleClearSystemProxy(FlMethodCall* call, FlValue*) {
  std::cerr << "[INFO] Clearing system proxy (defensive cleanup before TUN mode)..." << std::endl;
  const bool cleared = ProxyManager::DisableSystemProxy();
  if (cleared) {
    std::cerr << "[SUCCESS] System proxy cleared" << std::endl;
  } else {
    std::cerr << "[INFO] No system proxy to clear or already cleared" << std::endl;
  }
  RespondBool(call, cleared);
}

void HandleGetAppGroupDirectory(FlMethodCall* call, FlValue*) {
  RespondString(call, VPNManager::GetAppGroupDirectory());
}

void HandleConnectForNodeSwitching(FlMethodCall* call, FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_STRING) {
    RespondError(call, kInvalidArgument, kConfigRequired);
    return;
  }
  VPNManager::ConnectForNodeSwitching(fl_value_get_string(args), call);
}

void HandleToggleAutoReconnect(FlMethodCall* call, FlValue* args) {
  bool enabled;
  if (RequireBool(call, args, &enabled)) {
    VPNManager::ToggleAutoReconnect(enabled, call);
  }
}

void HandleRestoreUserAutoReconnectPreference(FlMethodCall* call, FlValue* args) {
  bool enabled;
  if (RequireBool(call, args, &enabled)) {
    VPNManager::RestoreUserAutoReconnectPreference(enabled, call);
  }
}

void HandleFixedTrue(FlMethodCall* call, FlValue*) {
  RespondBool(call, true);
}

void HandleFixedFalse(FlMethodCall* call, FlValue*) {
  RespondBool(call, false);
}

void HandleCheckForCrashLogs(FlMethodCall* call, FlValue*) {
  std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
  if (!report) {
    fl_method_call_respond_success(call, nullptr, nullptr);
    return;
  }
  g_autoptr(FlValue) result = fl_value_new_map();
  fl_value_set_string_take(result, "summary", fl_value_new_string(report->summary.c_str()));
  fl_value_set_string_take(result, "logCount", fl_value_new_int(report->logCount));
  FlValue* last_logs = fl_value_new_list();
  for (const std::string& line : report->lastLogs) {
    fl_value_append_take(last_logs, fl_value_new_string(line.c_str()));
  }
  fl_value_set_string_take(result, "lastLogs", last_logs);
  fl_method_call_respond_success(call, result, nullptr);
}

void HandleGetLibboxLogPath(FlMethodCall* call, FlValue*) {
  RespondString(call, LibboxLogBuffer::getSessionLogPath());
}

// The "selectorTag" of a map argument when it is a non-empty string, else "proxy".
std::string SelectorTagOf(FlValue* args) {
  const gchar* tag = LookupString(args, kSelectorTagKey);
  return tag != nullptr && tag[0] != '\0' ? tag : kDefaultSelectorTag;
}

void HandleGetAutoSelectorInfo(FlMethodCall* call, FlValue* args) {
  if (!VPNManager::IsRunning()) {
    RespondError(call, kVpnNotConnected, kSelectorNotConnected);
    return;
  }
  VPNManager::GetAutoSelectorInfo(SelectorTagOf(args), call);
}

void HandlePerformUrlTest(FlMethodCall* call, FlValue* args) {
  // The argument kind is checked before the connection state.
  if (!IsMap(args)) {
    RespondError(call, kInvalidArguments, kUrlTestArgumentsRequired);
    return;
  }
  const gchar* test_url = LookupString(args, kTestUrlKey);
  int timeout = kDefaultUrlTestTimeoutMs;
  FlValue* timeout_value = fl_value_lookup_string(args, kTimeoutKey);
  if (timeout_value != nullptr && fl_value_get_type(timeout_value) == FL_VALUE_TYPE_INT) {
    timeout = static_cast<int>(fl_value_get_int(timeout_value));
  }
  const std::string selector_tag = SelectorTagOf(args);
  if (!VPNManager::IsRunning()) {
    RespondError(call, kVpnNotConnected, kUrlTestNotConnected);
    return;
  }
  VPNManager::PerformUrlTest(test_url != nullptr ? test_url : korvane::kDefaultTestUrl, timeout,
                             selector_tag, call);
}

using MethodHandler = void (*)(FlMethodCall* call, FlValue* args);

struct MethodEntry {
  const char* name;
  MethodHandler handler;
};

// The method table, in dispatch order.
const MethodEntry kMethodTable[] = {
    {"loadVPNPreference", HandleLoadVPNPreference},
    {"doConnectVpn", [](FlMethodCall* call, FlValue*) { VPNManager::DoConnectVPN(call); }},
    {"disconnect", [](FlMethodCall* call, FlValue*) { VPNManager::Disconnect(call); }},
    {"stopVPN", [](FlMethodCall* call, FlValue*) { VPNManager::StopVPN(call); }},
    {"isRunning", HandleIsRunning},
    {"getStatus", HandleGetStatus},
    {"clearVPNPreference",
     [](FlMethodCall* call, FlValue*) { VPNManager::ClearVPNPreference(call); }},
    {"checkAdminPrivileges", HandleCheckAdminPrivileges},
    {"requestAdminPrivileges", HandleRequestAdminPrivileges},
    {"setCapabilityOnPath", HandleSetCapabilityOnPath},
    {"getExecutableCapabilities", HandleGetExecutableCapabilities},
    {"restartApp", HandleRestartApp},
    {"restartFromInstallDir", HandleRestartFromInstallDir},
    {"clearSystemProxy", HandleClearSystemProxy},
    {"getAppGroupDirectory", HandleGetAppGroupDirectory},
    {"disconnectForNodeSwitching",
     [](FlMethodCall* call, FlValue*) { VPNManager::DisconnectForNodeSwitching(call); }},
    {"connectForNodeSwitching", HandleConnectForNodeSwitching},
    {"toggleAutoReconnect", HandleToggleAutoReconnect},
    {"disableAutoReconnectTemporarily",
     [](FlMethodCall* call, FlValue*) { VPNManager::DisableAutoReconnectTemporarily(call); }},
    {"enableAutoReconnect",
     [](FlMethodCall* call, FlValue*) { VPNManager::EnableAutoReconnect(call); }},
    {"refreshVPNStatus", [](FlMethodCall* call, FlValue*) { VPNManager::RefreshVPNStatus(call); }},
    {"restoreUserAutoReconnectPreference", HandleRestoreUserAutoReconnectPreference},
    {"disableAutoReconnect",
     [](FlMethodCall* call, FlValue*) { VPNManager::DisableAutoReconnect(call); }},
    {"isobtainedNecessaryPermissions", HandleFixedTrue},
    {"getOnDemandStatus",
     [](FlMethodCall* call, FlValue*) { VPNManager::GetOnDemandStatus(call); }},
    {"isBatteryOptimizationIgnored", HandleFixedTrue},
    {"requestBatteryOptimizationExemption", HandleFixedTrue},
    {"isAlwaysOnVpnEnabled", HandleFixedFalse},
    {"openVpnSettings", HandleFixedTrue},
    {"checkForStuckState",
     [](FlMethodCall* call, FlValue*) { VPNManager::CheckForStuckState(call); }},
    {"checkForCrashLogs", HandleCheckForCrashLogs},
    {"getLibboxLogPath", HandleGetLibboxLogPath},
    {"getAutoSelectorInfo", HandleGetAutoSelectorInfo},
    {"performUrlTest", HandlePerformUrlTest},
};

}  // namespace

void VPNManager::HandleMethodCall(FlMethodCall* call) {
  const gchar* name = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  for (const MethodEntry& entry : kMethodTable) {
    if (g_strcmp0(name, entry.name) != 0) {
      continue;
    }
    try {
      entry.handler(call, args);
    } catch (const std::exception& e) {
      // An operation without a failure answer of its own failed unexpectedly. If it already
      // answered, this second answer is refused by the call and nothing more is sent.
      korvane::RespondErrorIfUnanswered(call, "EXCEPTION", e.what());
    }
    return;
  }
  fl_method_call_respond_not_implemented(call, nullptr);
}
