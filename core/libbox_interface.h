// The binding to the core engine library `libbox`: finding it on disk, auditing its digest,
// loading it, binding its eight C entry points, and the service operations over them.
#ifndef CORE_LIBBOX_INTERFACE_H_
#define CORE_LIBBOX_INTERFACE_H_

#include <optional>
#include <string>
#include <vector>

#include "engine/libbox.h"

// Expected SHA-256 of the engine library, 64 lowercase hexadecimal characters. The build
// defines it from the library it puts in the bundle; any other length switches the audit off.
extern const char kLibboxExpectedSha256[];

// Architecture suffix of the engine library's file name for this build.
inline constexpr char kLibboxArchSuffix[] = ".x86_64";

// The engine's C entry points, as the contract (engine/libbox.h) declares them. Strings passed
// in stay the caller's; strings returned belong to the engine until handed to free_string.
using LibboxSetupFn = decltype(&setup_libbox);
using LibboxGetVersionFn = decltype(&get_version);
using LibboxCreateServiceFn = decltype(&create_service);
using LibboxStartServiceFn = decltype(&start_service);
using LibboxStopServiceFn = decltype(&stop_service);
using LibboxGetStatusFn = decltype(&get_status);
using LibboxGetLastErrorFn = decltype(&get_last_error);
using LibboxFreeStringFn = decltype(&free_string);

// One binding per process. No locking of its own: Initialize, Setup and GetVersion run on the
// main thread; CreateService, StartService, StopService, GetLastError and Cleanup run under the
// VPN controller's service lock. The slots are read without locks while the library is loaded.
class LibboxInterface {
 public:
  // Loader (libbox_interface_loader.cc).

  // Searches the candidate paths, audits and opens the first library that loads and binds its
  // entry points. True when a library is loaded and bound; a second call after success returns
  // true without searching again.
  static bool Initialize();
  static bool IsLoaded();
  // The one-line reason of the last failed load, empty when none.
  static std::string GetLoadError();
  // Stops a service that exists, closes the library and forgets every slot and flag.
  static void Cleanup();
  // Reports the library's digest against kLibboxExpectedSha256. Always true: the audit never
  // blocks loading.
  static bool VerifyLibraryHash(const std::string& path);
  // Binds the eight entry points from the open library; false at the first one missing.
  static bool LoadFunctions();

  // The search list for this process (exe_dir from /proc/self/exe).
  static std::vector<std::string> CandidatePaths();
  // The search list for an executable directory (nullopt when the executable's path cannot be
  // read) and an architecture suffix (empty leaves the suffixed entries out).
  static std::vector<std::string> CandidatePaths(const std::optional<std::string>& exe_dir,
                                                 const std::string& suffix);

  // Service operations (libbox_interface_service.cc).

  static bool Setup(const std::string& base_path,
                    const std::string& working_path,
                    const std::string& temp_path);
  static bool CreateService(const std::string& config_json);
  static bool StartService();
  static bool StopService();
  // The engine's status value unchanged; -1 when nothing is bound.
  static int GetStatus();
  // The engine's version text, "unknown" when it gives none.
  static std::string GetVersion();
  static std::string GetLastError();
  // Hands a string from get_version or get_last_error back to the engine.
  static void FreeString(const char* text);

#ifdef KORVANE_TESTING
  // Closes any loaded library and returns every static to its start value.
  static void ResetForTesting();
  // Replaces the build's expected digest (the text is copied).
  static void SetExpectedSha256ForTesting(const std::string& digest);
#endif

 private:
  // The engine's message after a failed create or start, "Unknown error" when it gives none.
  static std::string FailureMessage();
  // Closes the library and clears the handle, the slots and both flags.
  static void Unload();

  static void* library_handle_;
  static bool initialized_;
  static bool service_created_;
  static std::string load_error_;
  // Points at kLibboxExpectedSha256 (tests may point it elsewhere).
  static const char* expected_sha256_;

  static LibboxSetupFn setup_libbox_;
  static LibboxGetVersionFn get_version_;
  static LibboxCreateServiceFn create_service_;
  static LibboxStartServiceFn start_service_;
  static LibboxStopServiceFn stop_service_;
  static LibboxGetStatusFn get_status_;
  static LibboxGetLastErrorFn get_last_error_;
  static LibboxFreeStringFn free_string_;
};

#endif  // CORE_LIBBOX_INTERFACE_H_
