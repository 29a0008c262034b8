// The dispatcher of "com.quorandel.korvane/vpn": every method name, its argument checks and the
// operation that answers it. A handler returns the answer, which the dispatcher sends; only a
// handler that hands the call to an operation taking it (the connection controller, the
// auto-reconnect preference, the privilege requests, the restart) returns null, and that operation
// answers. So every call gets exactly one response.

#include <optional>
#include <string>

#include "base/log.h"
#include "clash/clash_queries.h"
#include "core/libbox_log_buffer.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "platform/platform_service.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"

namespace {

using korvane::BoolResponse;
using korvane::ErrorResponse;
using korvane::StringResponse;

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

// The argument error for a "path"-style string key of a map argument; null when it is there.
FlMethodResponse* CheckMapString(FlValue* args, const char* key, const char* missing_message) {
  if (!IsMap(args)) {
    return ErrorResponse(kInvalidArgument, kMapRequired);
  }
  if (LookupString(args, key) == nullptr) {
    return ErrorResponse(kInvalidArgument, missing_message);
  }
  return nullptr;
}

bool IsBool(FlValue* args) {
  return args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_BOOL;
}

FlMethodResponse* HandleLoadVPNPreference(FlMethodCall* call, FlValue* args) {
  const FlValueType type = args ? fl_value_get_type(args) : FL_VALUE_TYPE_NULL;
  if (type == FL_VALUE_TYPE_LIST) {
    FlValue* first = fl_value_get_length(args) > 0 ? fl_value_get_list_value(args, 0) : nullptr;
    if (first == nullptr || fl_value_get_type(first) != FL_VALUE_TYPE_STRING) {
      return ErrorResponse(kInvalidArgument, kConfigRequired);
    }
    VPNManager::LoadVPNPreference(fl_value_get_string(first), true, call);
    return nullptr;
  }
  const gchar* config = LookupString(args, kConfigKey);
  if (config == nullptr) {
    return ErrorResponse(kInvalidArgument, kConfigRequired);
  }
  bool auto_configure_proxy = true;
  FlValue* flag = fl_value_lookup_string(args, kAutoConfigureProxyKey);
  if (flag != nullptr && fl_value_get_type(flag) == FL_VALUE_TYPE_BOOL) {
    auto_configure_proxy = fl_value_get_bool(flag);
  }
  korvane::LogErr() << "[DEBUG] Received autoConfigureProxy setting: "
                    << (auto_configure_proxy ? "true" : "false");
  VPNManager::LoadVPNPreference(config, auto_configure_proxy, call);
  return nullptr;
}

FlMethodResponse* HandleIsRunning(FlMethodCall*, FlValue*) {
  return BoolResponse(VPNManager::IsRunning());
}

FlMethodResponse* HandleGetStatus(FlMethodCall*, FlValue*) {
  return StringResponse(VPNManager::GetStatus());
}

FlMethodResponse* HandleCheckAdminPrivileges(FlMethodCall*, FlValue*) {
  return BoolResponse(VPNManager::CheckAdminPrivileges());
}

FlMethodResponse* HandleSetCapabilityOnPath(FlMethodCall* call, FlValue* args) {
  if (FlMethodResponse* refused = CheckMapString(args, kPathKey, kPathRequired)) {
    return refused;
  }
  VPNManager::SetCapabilityOnPath(LookupString(args, kPathKey), call);
  return nullptr;
}

FlMethodResponse* HandleGetExecutableCapabilities(FlMethodCall* call, FlValue* args) {
  if (FlMethodResponse* refused = CheckMapString(args, kPathKey, kPathRequired)) {
    return refused;
  }
  VPNManager::GetExecutableCapabilities(LookupString(args, kPathKey), call);
  return nullptr;
}

FlMethodResponse* HandleRestartFromInstallDir(FlMethodCall* call, FlValue* args) {
  if (FlMethodResponse* refused = CheckMapString(args, kInstallDirKey, kInstallDirRequired)) {
    return refused;
  }
  VPNManager::RestartFromInstallDir(LookupString(args, kInstallDirKey), call);
  return nullptr;
}

FlMethodResponse* HandleClearSystemProxy(FlMethodCall*, FlValue*) {
  korvane::LogErr() << "[INFO] Clearing system proxy (defensive cleanup before TUN mode)...";
  const bool cleared = ProxyManager::DisableSystemProxy();
  if (cleared) {
    korvane::LogErr() << "[SUCCESS] System proxy cleared";
  } else {
    korvane::LogErr() << "[INFO] No system proxy to clear or already cleared";
  }
  return BoolResponse(cleared);
}

FlMethodResponse* HandleGetAppGroupDirectory(FlMethodCall*, FlValue*) {
  return StringResponse(VPNManager::GetAppGroupDirectory());
}

FlMethodResponse* HandleConnectForNodeSwitching(FlMethodCall* call, FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_STRING) {
    return ErrorResponse(kInvalidArgument, kConfigRequired);
  }
  VPNManager::ConnectForNodeSwitching(fl_value_get_string(args), call);
  return nullptr;
}

FlMethodResponse* HandleToggleAutoReconnect(FlMethodCall* call, FlValue* args) {
  if (!IsBool(args)) {
    return ErrorResponse(kInvalidArgument, kBooleanRequired);
  }
  VPNManager::ToggleAutoReconnect(fl_value_get_bool(args), call);
  return nullptr;
}

FlMethodResponse* HandleRestoreUserAutoReconnectPreference(FlMethodCall* call, FlValue* args) {
  if (!IsBool(args)) {
    return ErrorResponse(kInvalidArgument, kBooleanRequired);
  }
  VPNManager::RestoreUserAutoReconnectPreference(fl_value_get_bool(args), call);
  return nullptr;
}

FlMethodResponse* HandleFixedTrue(FlMethodCall*, FlValue*) {
  return BoolResponse(true);
}

FlMethodResponse* HandleFixedFalse(FlMethodCall*, FlValue*) {
  return BoolResponse(false);
}

FlMethodResponse* HandleCheckForCrashLogs(FlMethodCall*, FlValue*) {
  std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
  if (!report) {
    return FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
  }
  g_autoptr(FlValue) result = fl_value_new_map();
  fl_value_set_string_take(result, "summary", fl_value_new_string(report->summary.c_str()));
  fl_value_set_string_take(result, "logCount", fl_value_new_int(report->logCount));
  FlValue* last_logs = fl_value_new_list();
  for (const std::string& line : report->lastLogs) {
    fl_value_append_take(last_logs, fl_value_new_string(line.c_str()));
  }
  fl_value_set_string_take(result, "lastLogs", last_logs);
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

FlMethodResponse* HandleGetLibboxLogPath(FlMethodCall*, FlValue*) {
  return StringResponse(LibboxLogBuffer::getSessionLogPath());
}

// The "selectorTag" of a map argument when it is a non-empty string, else "proxy".
std::string SelectorTagOf(FlValue* args) {
  const gchar* tag = LookupString(args, kSelectorTagKey);
  return tag != nullptr && tag[0] != '\0' ? tag : kDefaultSelectorTag;
}

FlMethodResponse* HandleGetAutoSelectorInfo(FlMethodCall* call, FlValue* args) {
  if (!VPNManager::IsRunning()) {
    return ErrorResponse(kVpnNotConnected, kSelectorNotConnected);
  }
  VPNManager::GetAutoSelectorInfo(SelectorTagOf(args), call);
  return nullptr;
}

FlMethodResponse* HandlePerformUrlTest(FlMethodCall* call, FlValue* args) {
  // The argument kind is checked before the connection state.
  if (!IsMap(args)) {
    return ErrorResponse(kInvalidArguments, kUrlTestArgumentsRequired);
  }
  const gchar* test_url = LookupString(args, kTestUrlKey);
  int timeout = kDefaultUrlTestTimeoutMs;
  FlValue* timeout_value = fl_value_lookup_string(args, kTimeoutKey);
  if (timeout_value != nullptr && fl_value_get_type(timeout_value) == FL_VALUE_TYPE_INT) {
    timeout = static_cast<int>(fl_value_get_int(timeout_value));
  }
  const std::string selector_tag = SelectorTagOf(args);
  if (!VPNManager::IsRunning()) {
    return ErrorResponse(kVpnNotConnected, kUrlTestNotConnected);
  }
  VPNManager::PerformUrlTest(test_url != nullptr ? test_url : korvane::kDefaultTestUrl, timeout,
                             selector_tag, call);
  return nullptr;
}

// Returns the answer for the dispatcher to send (transfer full), or null once the call has been
// handed to an operation that answers it.
using MethodHandler = FlMethodResponse* (*)(FlMethodCall* call, FlValue* args);

struct MethodEntry {
  const char* name;
  MethodHandler handler;
};

// Hands the call to a VPNManager operation that takes it and answers it.
template <void (*Operation)(FlMethodCall*)>
FlMethodResponse* HandOver(FlMethodCall* call, FlValue*) {
  Operation(call);
  return nullptr;
}

// The method table, in dispatch order.
const MethodEntry kMethodTable[] = {
    {"loadVPNPreference", HandleLoadVPNPreference},
    {"doConnectVpn", HandOver<VPNManager::DoConnectVPN>},
    {"disconnect", HandOver<VPNManager::Disconnect>},
    {"stopVPN", HandOver<VPNManager::StopVPN>},
    {"isRunning", HandleIsRunning},
    {"getStatus", HandleGetStatus},
    {"clearVPNPreference", HandOver<VPNManager::ClearVPNPreference>},
    {"checkAdminPrivileges", HandleCheckAdminPrivileges},
    {"requestAdminPrivileges", HandOver<VPNManager::RequestAdminPrivileges>},
    {"setCapabilityOnPath", HandleSetCapabilityOnPath},
    {"getExecutableCapabilities", HandleGetExecutableCapabilities},
    {"restartApp", HandOver<VPNManager::RestartApp>},
    {"restartFromInstallDir", HandleRestartFromInstallDir},
    {"clearSystemProxy", HandleClearSystemProxy},
    {"getAppGroupDirectory", HandleGetAppGroupDirectory},
    {"disconnectForNodeSwitching", HandOver<VPNManager::DisconnectForNodeSwitching>},
    {"connectForNodeSwitching", HandleConnectForNodeSwitching},
    {"toggleAutoReconnect", HandleToggleAutoReconnect},
    {"disableAutoReconnectTemporarily", HandOver<VPNManager::DisableAutoReconnectTemporarily>},
    {"enableAutoReconnect", HandOver<VPNManager::EnableAutoReconnect>},
    {"refreshVPNStatus", HandOver<VPNManager::RefreshVPNStatus>},
    {"restoreUserAutoReconnectPreference", HandleRestoreUserAutoReconnectPreference},
    {"disableAutoReconnect", HandOver<VPNManager::DisableAutoReconnect>},
    {"isobtainedNecessaryPermissions", HandleFixedTrue},
    {"getOnDemandStatus", HandOver<VPNManager::GetOnDemandStatus>},
    {"isBatteryOptimizationIgnored", HandleFixedTrue},
    {"requestBatteryOptimizationExemption", HandleFixedTrue},
    {"isAlwaysOnVpnEnabled", HandleFixedFalse},
    {"openVpnSettings", HandleFixedTrue},
    {"checkForStuckState", HandOver<VPNManager::CheckForStuckState>},
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
    if (g_strcmp0(name, entry.name) == 0) {
      g_autoptr(FlMethodResponse) response = entry.handler(call, args);
      if (response != nullptr) {
        korvane::Respond(call, response);
      }
      return;
    }
  }
  g_autoptr(FlMethodResponse) not_implemented =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  korvane::Respond(call, not_implemented);
}
