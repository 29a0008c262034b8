#ifndef PLATFORM_PLATFORM_SERVICE_H_
#define PLATFORM_PLATFORM_SERVICE_H_

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace korvane {
struct ElevationEnvironment;
}
// The platform callbacks offered to an engine binding that takes them. The field order is the
// record's layout and binds every user of the table.
struct PlatformInterface {
  int (*open_tun)(const char* name, int mtu);
  void (*close_tun)(int fd);
  int (*protect_socket)(int fd);
  // A heap string the caller releases with free().
  char* (*get_interfaces)();
  void (*clear_dns_cache)();
  void (*log_message)(const char* tag, const char* message);
};

// The operating-system work of the host: the command runner, the system resolver and its repair
// after a crash, and the TUN device with its record.
//
// The static state takes no lock: Initialize, Cleanup and the resolver operations are main
// thread only (or run under the VPN controller's service lock). Functions marked "any thread"
// keep no state.
class PlatformService {
 public:
  static constexpr char kResolvConfLockPath[] = "/etc/resolv.conf.korvane.lock";
  // The temporary file of every atomic rewrite in /etc (the resolver file and the lock file).
  static constexpr char kResolvConfTmpPath[] = "/etc/resolv.conf.korvane.tmp";

  // Frame (platform_service.cc).

  // Repairs the resolver left changed by a crashed run, then notes the current name servers.
  static void Initialize();
  // Restores the resolver if this process changed it and closes a TUN device it opened.
  static void Cleanup();
  // Any thread. Writes "[tag] message" to standard output; null pointers count as empty text.
  static void LogMessage(const char* tag, const char* message);
  // Any thread. The callback table; never null, lives for the whole process.
  static PlatformInterface* GetPlatformInterface();
  // Any thread. Spawns `program` (looked up on PATH, no shell) with `args` as its argument
  // vector (element 0 is the name the child sees) and waits for it. The exit status 0-255, or
  // -1 when it could not be started or waited for (one line on standard error) or was ended by
  // a signal (no line).
  static int RunCommand(const std::string& program, const std::vector<std::string>& args);
  static bool IsRunningAsRoot();

  // Network capability (platform_service_capabilities.cc). Any thread; nothing is cached.

  // True when the process runs with effective uid 0 or has CAP_NET_ADMIN effective.
  static bool HasNetworkCapabilities();
  // True when the file carries CAP_NET_ADMIN both permitted and effective. Writes nothing.
  static bool FileHasNetAdminCapability(const std::string& path);
  // HasNetworkCapabilities for exactly "CAP_NET_ADMIN"; false for every other name.
  static bool CheckCapability(const std::string& name);
  // The desktop proxy belongs to ProxyManager: both do nothing and return false.
  static bool SetupSystemProxy(const std::string& host, int port);
  static bool ClearSystemProxy();
  // Any thread. The absolute path with links, "." and ".." resolved as far as it exists; an
  // empty path on any error.
  static std::filesystem::path CanonicalizePath(const std::filesystem::path& path);

  // Capability grant (platform_service_grant.cc).

  // Any thread. $HOME/.local/share/Korvane/appimage-runtime; empty when HOME is unset or empty.
  static std::filesystem::path ManagedRuntimeRoot();
  // (A managed install is a plain directory, not an AppImage; the name stays for its callers.)
  // Any thread. True when the canonical path is the managed runtime root below HOME
  // ($HOME/.local/share/Korvane/appimage-runtime) or lies below it.
  static bool IsManagedAppImagePath(const std::string& path);
  // Worker thread: blocks while the elevated helper runs. Grants the network capability to a
  // root-owned copy of the "korvane" executable of a managed install directory whose SHA-256
  // matches its manifest; false (with one line) for every refused path, before anything on disk
  // changes. Reads the environment only from `environment`, taken on the main thread.
  static bool SetCapabilityOnPath(const std::string& path,
                                  const korvane::ElevationEnvironment& environment);
  // The same with the environment as it is now: for callers nobody changes it under.
  static bool SetCapabilityOnPath(const std::string& path);

  // Elevation request (platform_service_elevation.cc).

  // Worker thread: blocks while the elevated helper runs. Writes the launcher beside the
  // running executable's install, then grants a root-owned copy of the executable (or of its
  // capability wrapper) the network capability. True when that copy carries the capability
  // afterwards. Reads the environment only from `environment`, taken on the main thread.
  static bool RequestElevatedPermissions(const korvane::ElevationEnvironment& environment);
  // The same with the environment as it is now: for callers nobody changes it under.
  static bool RequestElevatedPermissions();

  // Callback table entries (platform_service.cc).

  static int PlatformOpenTun(const char* name, int mtu);
  static void PlatformCloseTun(int fd);
  static int PlatformProtectSocket(int fd);
  static char* PlatformGetInterfaces();
  static void PlatformClearDNSCache();
  static void PlatformLogMessage(const char* tag, const char* message);

  // TUN device and network interfaces (platform_service_tun.cc). The device operations share
  // the record with Cleanup: callers must not run two of them at once.

  // Opens a layer-3 TUN device named after at most 15 characters of `name` (null or empty: the
  // kernel chooses), deleting a busy interface of that name with `ip` and retrying once; sets
  // the MTU when `mtu` > 0. Records the device and returns its non-blocking descriptor, or -1.
  static int OpenTun(const char* name, int mtu);
  // Gives the device of `fd` the IPv4 `address`/`prefix` (1 to 32) and brings it up.
  static bool ConfigureTun(int fd, const std::string& address, int prefix);
  // Always true: the host installs no routes.
  static bool SetupRoutes(int fd);
  // Closes `fd` (when not negative) and deletes the recorded TUN interface with `ip`.
  static void CloseTun(int fd);
  // Any thread. Gives the socket the mark 0x1337 (needs CAP_NET_ADMIN): 0, or -1.
  static int ProtectSocket(int fd);
  // Any thread. Names of the interfaces holding an IPv4 or IPv6 address, each once, in the
  // order of their first such address.
  static std::vector<std::string> ListNetworkInterfaces();
  // Any thread. ListNetworkInterfaces joined by ",".
  static std::string GetInterfaces();

  // Resolver (platform_service_dns.cc).

  // Any thread. 1 to 45 characters out of hex digits, "." and ":" (a filter, not a parser).
  static bool IsValidDNSAddress(const std::string& address);
  // Any thread. The text of a resolver file naming `servers`.
  static std::string RenderResolvConf(const std::vector<std::string>& servers);
  // Any thread. The text of the lock file saving `saved_content`.
  static std::string RenderDNSLockFile(pid_t pid,
                                       long long timestamp,
                                       const std::string& saved_content);
  static bool WriteDNSLockFile(const std::string& saved_content);
  // The content saved in the lock file; empty when there is none.
  static std::string ReadDNSLockFile();
  static void RemoveDNSLockFile();
  static void RecoverDNSIfNeeded();
  static std::vector<std::string> GetCurrentDNSServers();
  static bool SetSystemDNS(const std::vector<std::string>& servers);
  static bool SetSystemdResolvedDNS(const std::vector<std::string>& servers);
  // Refuses the whole write when a server fails IsValidDNSAddress.
  static bool WriteResolvConf(const std::vector<std::string>& servers);
  static bool RestoreSystemDNS();
  static void ClearDNSCache();
  static bool HasSystemdResolved();
  static bool ResetSystemdResolvedDNS();
  static bool IsNetworkManagerAvailable();
  static bool DisableNetworkManagerDNS();
  static bool RestoreNetworkManagerDNS();

#ifdef KORVANE_TESTING
  // Defined only in the platform test support library.
  static void ResetForTesting();
  static const std::vector<std::string>& OriginalDNSServersForTesting();
  static bool DNSModifiedForTesting();
  static void RecordTunForTesting(int fd, const std::string& interface_name);
#endif

 private:
  static PlatformInterface platform_interface_;
  // The TUN device this process opened: -1 and empty when none is open.
  static int tun_fd_;
  static std::string tun_interface_name_;
  // The resolver's name servers as found at start and at the first change.
  static std::vector<std::string> original_dns_servers_;
  // The resolver was changed by this process and must be restored.
  static bool dns_modified_;
};

#endif  // PLATFORM_PLATFORM_SERVICE_H_
