#ifndef VPN_VPN_MANAGER_H_
#define VPN_VPN_MANAGER_H_

#include <flutter_linux/flutter_linux.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// The only endpoint between the user interface and the host: the control channels
// "com.quorandel.korvane/vpn" and "com.quorandel.korvane/core", the event channel
// "com.quorandel.korvane/vpn_events", and the connection controller behind them.
//
// Threads: every method call arrives on the GLib main thread and is answered there. Functions
// are main thread only unless their comment says "any thread".
class VPNManager {
 public:
  // Creates the three channels on `messenger` and prepares the engine and the platform.
  static void Initialize(FlBinaryMessenger* messenger);

  // Method-channel entry points (main thread).
  static void HandleMethodCallStatic(FlMethodChannel* channel, FlMethodCall* call, void* user_data);
  static void HandleCoreMethodCallStatic(FlMethodChannel* channel,
                                         FlMethodCall* call,
                                         void* user_data);
  // Dispatcher of the vpn channel: every method name in table order.
  static void HandleMethodCall(FlMethodCall* call);

  // Event stream.
  static FlMethodErrorResponse* OnListenHandler(FlEventChannel* channel,
                                                FlValue* args,
                                                void* user_data);
  static FlMethodErrorResponse* OnCancelHandler(FlEventChannel* channel,
                                                FlValue* args,
                                                void* user_data);
  // Any thread: off the main thread the state is re-posted to the main loop.
  static void SendStateUpdate(const std::string& state);
  static void SendError(const std::string& message);

  // Small accessors.
  static bool IsRunning();
  static std::string GetStatus();
  static std::string GetCoreVersion();
  static std::string GetAppGroupDirectory();

  // Connection controller.
  static void InitializeLibbox();
  static void LoadVPNPreference(const std::string& config,
                                bool auto_configure_proxy,
                                FlMethodCall* call);
  static void DoConnectVPN(FlMethodCall* call);
  static void Disconnect(FlMethodCall* call);
  static void StopVPN(FlMethodCall* call);
  static void DisconnectForNodeSwitching(FlMethodCall* call);
  static void ConnectForNodeSwitching(const std::string& config, FlMethodCall* call);
  // Application shut-down: stops everything and unloads the engine.
  static void Shutdown();

  // Auto-reconnect preference and status upkeep.
  static void ToggleAutoReconnect(bool enabled, FlMethodCall* call);
  static void DisableAutoReconnectTemporarily(FlMethodCall* call);
  static void EnableAutoReconnect(FlMethodCall* call);
  static void RestoreUserAutoReconnectPreference(bool enabled, FlMethodCall* call);
  static void DisableAutoReconnect(FlMethodCall* call);
  static void GetOnDemandStatus(FlMethodCall* call);
  static void RefreshVPNStatus(FlMethodCall* call);
  static void ClearVPNPreference(FlMethodCall* call);
  static void CheckForStuckState(FlMethodCall* call);

  // Latency through the engine's controller. Both answer later, from the main loop, after a
  // detached worker thread finished; only one URL test runs at a time.
  static void PerformUrlTest(const std::string& testUrl,
                             int timeout,
                             const std::string& selectorTag,
                             FlMethodCall* call);
  static void GetAutoSelectorInfo(const std::string& selectorTag, FlMethodCall* call);

  // Privilege requests. The two requests answer later, from a detached worker thread, through
  // the main loop; the others answer at once.
  static bool CheckAdminPrivileges();
  static void RequestAdminPrivileges(FlMethodCall* call);
  static void SetCapabilityOnPath(const std::string& path, FlMethodCall* call);
  static void GetExecutableCapabilities(const std::string& path, FlMethodCall* call);

  // Application restart: starts the new instance, which waits for this process to end, answers
  // true once it has lived 100 ms and quits the application from the main loop.
  static void RestartApp(FlMethodCall* call);
  // The same into an install directory of the managed runtime, through its launcher.
  static void RestartFromInstallDir(const std::string& install_dir, FlMethodCall* call);

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
  // Makes each upkeep operation that can answer "EXCEPTION" run `fault` after its work, as a
  // failure of that work (nullptr: none). ResetStateForTesting clears it.
  static void SetUpkeepFaultForTesting(void (*fault)());
#endif

 private:
  // Creates the three channels on `messenger` and sets their handlers.
  static void CreateChannels(FlBinaryMessenger* messenger);
  // Creates and starts one engine service; throws std::runtime_error with the user message.
  static void StartBox(const std::string& config);
  // Stops the service, the desktop proxy and the log session. The caller holds service_mutex_.
  static void StopBox();
  // Main thread: sends one state event (when the UI listens).
  static void SendStateUpdateInternal(const std::string& state);
  // Called on the main loop for a state raised off the main thread; runs once.
  static gboolean SendStateUpdateIdleCb(gpointer user_data);

  // Set once by Initialize; the channels live until the process exits.
  static FlBinaryMessenger* messenger_;
  static FlMethodChannel* channel_;
  static FlMethodChannel* core_channel_;
  static FlEventChannel* event_channel_;

  // Event stream: whether the UI listens; stream_mutex_ guards stream_active_ only.
  static bool stream_active_;
  static std::mutex stream_mutex_;

  // Connection state. service_mutex_ serialises every create, start and stop of the engine
  // service; workers take it only to copy current_config_.
  static std::mutex service_mutex_;
  static std::atomic<bool> is_running_;
  static std::string current_config_;
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
