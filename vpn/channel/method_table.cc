// The dispatcher of "com.quorandel.korvane/vpn": every method name, its argument checks and the
// service that answers it. A row returns its answer, which the dispatcher sends, or hands the
// call to AnswerLater; a row whose service must go on after the answer (a connect, a restart)
// returns that as its follow-up. So every call gets exactly one response.

#include <flutter_linux/flutter_linux.h>

#include <functional>
#include <optional>
#include <string>

#include "base/logger.h"
#include "core/libbox_log_buffer.h"
#include "platform/proxy_manager.h"
#include "vpn/channel/answer.h"
#include "vpn/clash_queries.h"
#include "vpn/vpn_manager.h"

namespace {

using korvane::AnswerValue;
using korvane::Outcome;

constexpr korvane::Logger kDebugLog(korvane::kDebugTag);
constexpr korvane::Logger kInfoLog(korvane::kInfoTag);
constexpr korvane::Logger kSuccessLog(korvane::kSuccessTag);

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

// What a row does with a call: answer now (`answer`, then `then` when set), or nothing more
// when it handed the call to AnswerLater.
struct Reply {
  std::optional<Outcome> answer;
  std::function<void()> then;
};

Reply Now(Outcome outcome) {
  return {std::move(outcome), nullptr};
}

Reply Now(bool value) {
  return Now(Outcome::Ok(value));
}

Reply Refuse(const char* code, const char* message) {
  return Now(Outcome::Failure(code, message));
}

Reply Later(FlMethodCall* call, korvane::Deferred deferred) {
  korvane::AnswerLater(call, std::move(deferred));
  return {};
}

// `outcome`, then `then` once it is a success and has gone out.
Reply ThenOnSuccess(Outcome outcome, std::function<void()> then) {
  const bool ok = outcome.ok;
  return {std::move(outcome), ok ? std::move(then) : nullptr};
}

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

// The argument error for a "path"-style string key of a map argument, when there is one.
std::optional<Reply> CheckMapString(FlValue* args, const char* key, const char* missing_message) {
  if (!IsMap(args)) {
    return Refuse(kInvalidArgument, kMapRequired);
  }
  if (LookupString(args, key) == nullptr) {
    return Refuse(kInvalidArgument, missing_message);
  }
  return std::nullopt;
}

bool IsBool(FlValue* args) {
  return args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_BOOL;
}

// Saves `config`, answers, then connects.
Reply LoadThenConnect(Outcome saved, std::string config) {
  return ThenOnSuccess(std::move(saved),
                       [config = std::move(config)] { VPNManager::ConnectLoaded(config); });
}

Reply HandleLoadVPNPreference(FlMethodCall*, FlValue* args) {
  const FlValueType type = args ? fl_value_get_type(args) : FL_VALUE_TYPE_NULL;
  if (type == FL_VALUE_TYPE_LIST) {
    FlValue* first = fl_value_get_length(args) > 0 ? fl_value_get_list_value(args, 0) : nullptr;
    if (first == nullptr || fl_value_get_type(first) != FL_VALUE_TYPE_STRING) {
      return Refuse(kInvalidArgument, kConfigRequired);
    }
    const std::string config = fl_value_get_string(first);
    return LoadThenConnect(VPNManager::LoadVPNPreference(config, true), config);
  }
  const gchar* config = LookupString(args, kConfigKey);
  if (config == nullptr) {
    return Refuse(kInvalidArgument, kConfigRequired);
  }
  bool auto_configure_proxy = true;
  FlValue* flag = fl_value_lookup_string(args, kAutoConfigureProxyKey);
  if (flag != nullptr && fl_value_get_type(flag) == FL_VALUE_TYPE_BOOL) {
    auto_configure_proxy = fl_value_get_bool(flag);
  }
  kDebugLog.Error() << "Received autoConfigureProxy setting: "
                    << (auto_configure_proxy ? "true" : "false");
  return LoadThenConnect(VPNManager::LoadVPNPreference(config, auto_configure_proxy), config);
}

Reply HandleConnectForNodeSwitching(FlMethodCall*, FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_STRING) {
    return Refuse(kInvalidArgument, kConfigRequired);
  }
  const std::string config = fl_value_get_string(args);
  return LoadThenConnect(VPNManager::ConnectForNodeSwitching(config), config);
}

Reply HandleSetCapabilityOnPath(FlMethodCall* call, FlValue* args) {
  if (std::optional<Reply> refused = CheckMapString(args, kPathKey, kPathRequired)) {
    return *refused;
  }
  return Later(call, VPNManager::SetCapabilityOnPath(LookupString(args, kPathKey)));
}

Reply HandleGetExecutableCapabilities(FlMethodCall*, FlValue* args) {
  if (std::optional<Reply> refused = CheckMapString(args, kPathKey, kPathRequired)) {
    return *refused;
  }
  return Now(VPNManager::GetExecutableCapabilities(LookupString(args, kPathKey)));
}

Reply HandleRestartApp(FlMethodCall*, FlValue*) {
  return ThenOnSuccess(VPNManager::RestartApp(), VPNManager::QuitAfterAnswer);
}

Reply HandleRestartFromInstallDir(FlMethodCall*, FlValue* args) {
  if (std::optional<Reply> refused = CheckMapString(args, kInstallDirKey, kInstallDirRequired)) {
    return *refused;
  }
  return ThenOnSuccess(VPNManager::RestartFromInstallDir(LookupString(args, kInstallDirKey)),
                       VPNManager::QuitAfterAnswer);
}

Reply HandleClearSystemProxy(FlMethodCall*, FlValue*) {
  kInfoLog.Error() << "Clearing system proxy (defensive cleanup before TUN mode)...";
  const bool cleared = ProxyManager::DisableSystemProxy();
  if (cleared) {
    kSuccessLog.Error() << "System proxy cleared";
  } else {
    kInfoLog.Error() << "No system proxy to clear or already cleared";
  }
  return Now(cleared);
}

Reply HandleToggleAutoReconnect(FlMethodCall*, FlValue* args) {
  if (!IsBool(args)) {
    return Refuse(kInvalidArgument, kBooleanRequired);
  }
  return Now(VPNManager::ToggleAutoReconnect(fl_value_get_bool(args)));
}

Reply HandleRestoreUserAutoReconnectPreference(FlMethodCall*, FlValue* args) {
  if (!IsBool(args)) {
    return Refuse(kInvalidArgument, kBooleanRequired);
  }
  return Now(VPNManager::RestoreUserAutoReconnectPreference(fl_value_get_bool(args)));
}

Reply HandleCheckForCrashLogs(FlMethodCall*, FlValue*) {
  std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
  if (!report) {
    return Now(Outcome::Ok());
  }
  AnswerValue result = AnswerValue::OfMap()
                           .Set("summary", AnswerValue::OfString(report->summary))
                           .Set("logCount", AnswerValue::OfInt(report->logCount));
  AnswerValue last_logs = AnswerValue::OfList();
  for (const std::string& line : report->lastLogs) {
    last_logs.Append(AnswerValue::OfString(line));
  }
  result.Set("lastLogs", std::move(last_logs));
  return Now(Outcome::Ok(std::move(result)));
}

// The "selectorTag" of a map argument when it is a non-empty string, else "proxy".
std::string SelectorTagOf(FlValue* args) {
  const gchar* tag = LookupString(args, kSelectorTagKey);
  return tag != nullptr && tag[0] != '\0' ? tag : kDefaultSelectorTag;
}

Reply HandleGetAutoSelectorInfo(FlMethodCall* call, FlValue* args) {
  if (!VPNManager::IsRunning()) {
    return Refuse(kVpnNotConnected, kSelectorNotConnected);
  }
  return Later(call, VPNManager::GetAutoSelectorInfo(SelectorTagOf(args)));
}

Reply HandlePerformUrlTest(FlMethodCall* call, FlValue* args) {
  // The argument kind is checked before the connection state.
  if (!IsMap(args)) {
    return Refuse(kInvalidArguments, kUrlTestArgumentsRequired);
  }
  const gchar* test_url = LookupString(args, kTestUrlKey);
  int timeout = kDefaultUrlTestTimeoutMs;
  FlValue* timeout_value = fl_value_lookup_string(args, kTimeoutKey);
  if (timeout_value != nullptr && fl_value_get_type(timeout_value) == FL_VALUE_TYPE_INT) {
    timeout = static_cast<int>(fl_value_get_int(timeout_value));
  }
  const std::string selector_tag = SelectorTagOf(args);
  if (!VPNManager::IsRunning()) {
    return Refuse(kVpnNotConnected, kUrlTestNotConnected);
  }
  return Later(call,
               VPNManager::PerformUrlTest(test_url != nullptr ? test_url : korvane::kDefaultTestUrl,
                                          timeout, selector_tag));
}

// A row's handler.
using MethodHandler = Reply (*)(FlMethodCall* call, FlValue* args);

struct MethodEntry {
  const char* name;
  MethodHandler handler;
};

// Rows whose service takes no argument and answers at once.
template <Outcome (*Service)()>
Reply Simple(FlMethodCall*, FlValue*) {
  return Now(Service());
}

template <bool (*Service)()>
Reply SimpleBool(FlMethodCall*, FlValue*) {
  return Now(Service());
}

template <std::string (*Service)()>
Reply SimpleString(FlMethodCall*, FlValue*) {
  return Now(Outcome::Ok(AnswerValue::OfString(Service())));
}

// Rows whose service takes no argument and answers later.
template <korvane::Deferred (*Service)()>
Reply Deferred(FlMethodCall* call, FlValue*) {
  return Later(call, Service());
}

bool AlwaysTrue() {
  return true;
}

bool AlwaysFalse() {
  return false;
}

std::string SessionLogPath() {
  return LibboxLogBuffer::getSessionLogPath();
}

// The method table, in dispatch order.
const MethodEntry kMethodTable[] = {
    {"loadVPNPreference", HandleLoadVPNPreference},
    {"doConnectVpn", Simple<VPNManager::DoConnectVPN>},
    {"disconnect", Simple<VPNManager::Disconnect>},
    {"stopVPN", Simple<VPNManager::StopVPN>},
    {"isRunning", SimpleBool<VPNManager::IsRunning>},
    {"getStatus", SimpleString<VPNManager::GetStatus>},
    {"clearVPNPreference", Simple<VPNManager::ClearVPNPreference>},
    {"checkAdminPrivileges", SimpleBool<VPNManager::CheckAdminPrivileges>},
    {"requestAdminPrivileges", Deferred<VPNManager::RequestAdminPrivileges>},
    {"setCapabilityOnPath", HandleSetCapabilityOnPath},
    {"getExecutableCapabilities", HandleGetExecutableCapabilities},
    {"restartApp", HandleRestartApp},
    {"restartFromInstallDir", HandleRestartFromInstallDir},
    {"clearSystemProxy", HandleClearSystemProxy},
    {"getAppGroupDirectory", SimpleString<VPNManager::GetAppGroupDirectory>},
    {"disconnectForNodeSwitching", Simple<VPNManager::DisconnectForNodeSwitching>},
    {"connectForNodeSwitching", HandleConnectForNodeSwitching},
    {"toggleAutoReconnect", HandleToggleAutoReconnect},
    {"disableAutoReconnectTemporarily", Simple<VPNManager::DisableAutoReconnectTemporarily>},
    {"enableAutoReconnect", Simple<VPNManager::EnableAutoReconnect>},
    {"refreshVPNStatus", Simple<VPNManager::RefreshVPNStatus>},
    {"restoreUserAutoReconnectPreference", HandleRestoreUserAutoReconnectPreference},
    {"disableAutoReconnect", Simple<VPNManager::DisableAutoReconnect>},
    {"isobtainedNecessaryPermissions", SimpleBool<AlwaysTrue>},
    {"getOnDemandStatus", Simple<VPNManager::GetOnDemandStatus>},
    {"isBatteryOptimizationIgnored", SimpleBool<AlwaysTrue>},
    {"requestBatteryOptimizationExemption", SimpleBool<AlwaysTrue>},
    {"isAlwaysOnVpnEnabled", SimpleBool<AlwaysFalse>},
    {"openVpnSettings", SimpleBool<AlwaysTrue>},
    {"checkForStuckState", Simple<VPNManager::CheckForStuckState>},
    {"checkForCrashLogs", HandleCheckForCrashLogs},
    {"getLibboxLogPath", SimpleString<SessionLogPath>},
    {"getAutoSelectorInfo", HandleGetAutoSelectorInfo},
    {"performUrlTest", HandlePerformUrlTest},
};

}  // namespace

void VPNManager::HandleMethodCall(FlMethodCall* call) {
  const gchar* name = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  for (const MethodEntry& entry : kMethodTable) {
    if (g_strcmp0(name, entry.name) == 0) {
      Reply reply = entry.handler(call, args);
      if (reply.answer) {
        korvane::Answer(call, *reply.answer);
      }
      if (reply.then) {
        reply.then();
      }
      return;
    }
  }
  korvane::AnswerNotImplemented(call);
}
