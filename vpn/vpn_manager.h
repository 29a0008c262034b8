#ifndef VPN_VPN_MANAGER_H_
#define VPN_VPN_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "vpn/config_facts.h"
#include "vpn/outcome.h"

// The channel types, declared as the embedding declares them: only vpn/channel/ uses them.
typedef struct _FlBinaryMessenger FlBinaryMessenger;
typedef struct _FlMethodChannel FlMethodChannel;
typedef struct _FlMethodCall FlMethodCall;
typedef struct _FlEventChannel FlEventChannel;
typedef struct _FlValue FlValue;
typedef struct _FlMethodErrorResponse FlMethodErrorResponse;

// The VPN controller behind the platform channels "com.quorandel.korvane/vpn",
// "com.quorandel.korvane/core" and "com.quorandel.korvane/vpn_events".
//
// Two layers: the channel layer (vpn/channel/: the channels, the method table, the event
// stream) is the only code that sees method calls and codec values; the services below it
// (connection, latency, privileges, restart, upkeep) take plain arguments and return an
// Outcome, or a Deferred for the methods that answer later from a worker thread.
//
// Threads: functions are main thread only unless their comment says "any thread" or "worker".
class VPNManager {
 public:
  // Channel layer (vpn/channel/).

  // Creates the three channels on `messenger` and prepares the engine and the platform.
  static void Initialize(FlBinaryMessenger* messenger);
  static void HandleMethodCallStatic(FlMethodChannel* channel, FlMethodCall* call, void* user_data);
  static void HandleCoreMethodCallStatic(FlMethodChannel* channel,
                                         FlMethodCall* call,
                                         void* user_data);
  // Dispatcher of the vpn channel: every method name in table order.
  static void HandleMethodCall(FlMethodCall* call);
  static FlMethodErrorResponse* OnListenHandler(FlEventChannel* channel,
                                                FlValue* args,
                                                void* user_data);
  static FlMethodErrorResponse* OnCancelHandler(FlEventChannel* channel,
                                                FlValue* args,
                                                void* user_data);

  // Events. Any thread: off the main thread the state is re-posted to the main loop.
  static void SendStateUpdate(const std::string& state);
  static void SendError(const std::string& message);
  // Where events go once the channel layer is up (main thread calls only).
  struct EventSink {
    void (*state)(const std::string& state);
    void (*error)(const std::string& message);
  };
  static void SetEventSink(const EventSink& sink);

  // Small accessors.
  static bool IsRunning();
  static std::string GetStatus();
  static std::string GetCoreVersion();
  // The configuration directory (the name is the UI's).
  static std::string GetAppGroupDirectory();

  // Connection controller (vpn_manager_connection.cc).

  static void InitializeLibbox();
  // Saves the configuration and notes the proxy flag: the answer. When it is a success, the
  // caller answers and then calls ConnectLoaded(config), so the UI has its answer before the
  // engine starts.
  static korvane::Outcome LoadVPNPreference(const std::string& config, bool auto_configure_proxy);
  // Raises "connecting" and starts the engine; a failure becomes an error event.
  static void ConnectLoaded(const std::string& config);
  // Reconnects with the stored configuration; answers after the start.
  static korvane::Outcome DoConnectVPN();
  static korvane::Outcome Disconnect();
  static korvane::Outcome StopVPN();
  static korvane::Outcome DisconnectForNodeSwitching();
  // As LoadVPNPreference with the last proxy flag, after turning auto-reconnect back on.
  static korvane::Outcome ConnectForNodeSwitching(const std::string& config);
  // Application shut-down: stops everything and unloads the engine.
  static void Shutdown();

  // Auto-reconnect preference and status upkeep (vpn_manager_upkeep.cc).
  static korvane::Outcome ToggleAutoReconnect(bool enabled);
  static korvane::Outcome DisableAutoReconnectTemporarily();
  static korvane::Outcome EnableAutoReconnect();
  static korvane::Outcome RestoreUserAutoReconnectPreference(bool enabled);
  static korvane::Outcome DisableAutoReconnect();
  static korvane::Outcome GetOnDemandStatus();
  static korvane::Outcome RefreshVPNStatus();
  static korvane::Outcome ClearVPNPreference();
  static korvane::Outcome CheckForStuckState();

  // Latency through the engine's controller (vpn_manager_latency.cc). Both answer later, from
  // a worker thread with its own copy of the configuration; only one URL test runs at a time.
  static korvane::Deferred PerformUrlTest(const std::string& testUrl,
                                          int timeout,
                                          const std::string& selectorTag);
  static korvane::Deferred GetAutoSelectorInfo(const std::string& selectorTag);

  // Privilege requests (vpn_manager_privileges.cc). The two requests answer later.
  static bool CheckAdminPrivileges();
  static korvane::Deferred RequestAdminPrivileges();
  static korvane::Deferred SetCapabilityOnPath(const std::string& path);
  static korvane::Outcome GetExecutableCapabilities(const std::string& path);

  // Application restart (vpn_manager_restart.cc): starts the new instance, which waits for this
  // process to end, and succeeds once it has lived 100 ms. On success the caller answers and
  // then calls QuitAfterAnswer.
  static korvane::Outcome RestartApp();
  // The same into an install directory of the managed runtime, through its launcher.
  static korvane::Outcome RestartFromInstallDir(const std::string& install_dir);
  // Quits the application from the main loop, after the answer has gone out.
  static void QuitAfterAnswer();

#ifdef KORVANE_TESTING
  // Test-only (vpn_manager_testing.cc): forgets the channels, the stream flag, the connection
  // state and the preferences, as at process start.
  static void ResetForTesting();
  // Makes `channel` the event channel, for tests that drive the event stream alone.
  static void SetEventChannelForTesting(FlEventChannel* channel);
  // Creates the three channels on `messenger` and loads the engine, without the start-up repairs
  // of the desktop proxy and the resolver, for tests that must leave the machine alone.
  static void AttachChannelsForTesting(FlBinaryMessenger* messenger);
  // Forgets the connection state and the stream flag but keeps the channels.
  static void ResetStateForTesting();
  // The connection state the latency methods read, without starting an engine service.
  static void SetRunningForTesting(bool running);
  static void SetConfigForTesting(const std::string& config);
  static bool UrlTestInProgressForTesting();
  // What StopBox does first when a service runs: a latency worker sees the stop under way.
  static void BeginStopForTesting();
  // Makes every upkeep operation fail after its work (with `fault`), as a failure of the work
  // would; null stops it.
  static void SetUpkeepFaultForTesting(void (*fault)());
#endif

 private:
  // Creates and starts one engine service; throws std::runtime_error with the user message.
  static void StartBox(const std::string& config);
  // Makes `config` the current configuration (under service_mutex_).
  static void SetCurrentConfig(const std::string& config);
  // Stops the service, the desktop proxy and the log session. The caller holds service_mutex_.
  static void StopBox();
  // Main thread: sends one state event through the sink.
  static void SendStateUpdateInternal(const std::string& state);
  // Called on the main loop for a state raised off the main thread; runs once.
  static int SendStateUpdateIdleCb(void* user_data);

  // Set by the channel layer; the events go nowhere before.
  static EventSink event_sink_;

  // Connection state. service_mutex_ serialises every create, start and stop of the engine
  // service; workers take it only to copy current_config_.
  static std::mutex service_mutex_;
  static std::atomic<bool> is_running_;
  static std::string current_config_;
  // What the connection controller read of current_config_, read once with it.
  static korvane::ConfigFacts current_facts_;
  // 1 once the engine library is loaded and set up, else 0: a flag, not a handle (the engine
  // keeps no handle of ours).
  static uintptr_t libbox_handle_;
  static std::string last_error_;
  static std::atomic<bool> auto_reconnect_enabled_;
  static std::atomic<bool> auto_configure_proxy_;
  static std::atomic<bool> url_test_in_progress_;
  // Counts the stops of a running service: a latency worker that saw it change knows the
  // connection it measures went away, even before is_running_ turns false.
  static std::atomic<unsigned> service_stops_;
  // Tests only (SetUpkeepFaultForTesting): a failure raised inside the upkeep operations.
  static void (*upkeep_fault_)();
};

// The runner calls this with the view's engine's messenger; does exactly VPNManager::Initialize.
extern "C" void initialize_vpn_manager(FlBinaryMessenger* messenger);

#endif  // VPN_VPN_MANAGER_H_
