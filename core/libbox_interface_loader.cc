// Finding, auditing, loading and binding the engine library.
#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "base/log.h"
#include "base/logger.h"
#include "base/sha256.h"
#include "core/libbox_interface.h"

namespace {
constexpr korvane::Logger kLog(korvane::kNoTag);
constexpr korvane::Logger kSecurityWarn(korvane::kSecurityWarnTag);
constexpr korvane::Logger kSecurityAudit(korvane::kSecurityAuditTag);
}  // namespace

void* LibboxInterface::library_handle_ = nullptr;
bool LibboxInterface::initialized_ = false;
bool LibboxInterface::service_created_ = false;
std::string LibboxInterface::load_error_;
const char* LibboxInterface::expected_sha256_ = kLibboxExpectedSha256;

LibboxSetupFn LibboxInterface::setup_libbox_ = nullptr;
LibboxGetVersionFn LibboxInterface::get_version_ = nullptr;
LibboxCreateServiceFn LibboxInterface::create_service_ = nullptr;
LibboxStartServiceFn LibboxInterface::start_service_ = nullptr;
LibboxStopServiceFn LibboxInterface::stop_service_ = nullptr;
LibboxGetStatusFn LibboxInterface::get_status_ = nullptr;
LibboxGetLastErrorFn LibboxInterface::get_last_error_ = nullptr;
LibboxFreeStringFn LibboxInterface::free_string_ = nullptr;

namespace {

constexpr char kLibraryName[] = "libbox.so";

// Something exists at the path (a failed status query counts as absent).
bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Whether the loader may be handed `path`. It opens a path with an ordinary open, which waits
// for good on a FIFO that no one writes to, so only regular files go to it. A bare name is looked
// up in the loader's own search path, not here, and is left to it.
bool LoaderMayOpen(const std::string& path) {
  struct stat st;
  return path.find('/') == std::string::npos ||
         (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

// The directory of the running executable, or nullopt when its path cannot be read.
std::optional<std::string> ExecutableDir() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || exe.empty()) {
    return std::nullopt;
  }
  return exe.parent_path().string();
}

// The pending error text of the dynamic loader, empty when it has none. Reading clears it.
std::string TakeLoaderError() {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string();
}

// Looks up one entry point into its slot; prints the failure report and returns false when the
// symbol is missing.
template <typename Fn>
bool BindSymbol(void* handle, const char* name, Fn* slot, std::string* error_out) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    std::string error = TakeLoaderError();
    *error_out = std::string("Failed to load ") + name + ": " + error;
    kLog.Error() << *error_out;
    return false;
  }
  *slot = reinterpret_cast<Fn>(symbol);
  return true;
}

}  // namespace

std::vector<std::string> LibboxInterface::CandidatePaths(const std::optional<std::string>& exe_dir,
                                                         const std::string& suffix) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths;
  const std::vector<std::string> fixed_dirs = {"./lib", "../lib", "/usr/local/lib", "/usr/lib"};
  std::vector<std::string> suffixes;
  if (!suffix.empty()) {
    suffixes.push_back(suffix);
  }
  suffixes.push_back("");

  if (exe_dir) {
    const fs::path base(*exe_dir);
    const fs::path dirs[] = {base / "lib", base / "bundle" / "lib", base / ".." / "lib"};
    for (const std::string& s : suffixes) {
      for (const fs::path& dir : dirs) {
        paths.push_back((dir / (std::string(kLibraryName) + s)).string());
      }
    }
  }
  for (const std::string& s : suffixes) {
    for (const std::string& dir : fixed_dirs) {
      paths.push_back(dir + "/" + kLibraryName + s);
    }
  }
  paths.push_back(kLibraryName);
  return paths;
}

std::vector<std::string> LibboxInterface::CandidatePaths() {
  return CandidatePaths(ExecutableDir(), kLibboxArchSuffix);
}

bool LibboxInterface::Initialize() {
  if (library_handle_ != nullptr) {
    return true;
  }
  const std::vector<std::string> candidates = CandidatePaths();
  load_error_.clear();

  std::string loader_error;
  for (const std::string& path : candidates) {
    if (!PathExists(path)) {
      continue;
    }
    VerifyLibraryHash(path);
    if (!LoaderMayOpen(path)) {
      loader_error = path + ": not a regular file";
      continue;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
      loader_error = TakeLoaderError();
      continue;
    }
    library_handle_ = handle;
    kLog.Info() << "Loaded verified libbox from: " << path;
    break;
  }

  if (library_handle_ == nullptr) {
    std::string tried = "Tried paths:";
    for (const std::string& path : candidates) {
      tried += " " + path;
    }
    load_error_ = "Failed to load libbox.so: " + loader_error;
    kLog.Error() << load_error_ << "\n" << tried;
    return false;
  }

  if (!LoadFunctions()) {
    // Keep the binding report: Unload leaves load_error_ alone.
    Unload();
    return false;
  }
  return true;
}

bool LibboxInterface::IsLoaded() {
  return library_handle_ != nullptr;
}

std::string LibboxInterface::GetLoadError() {
  return load_error_;
}

bool LibboxInterface::LoadFunctions() {
  TakeLoaderError();
  void* handle = library_handle_;
  if (handle == nullptr) {
    load_error_ = "Failed to load setup_libbox: no library is open";
    kLog.Error() << load_error_;
    return false;
  }
  std::string* error = &load_error_;
  bool bound = BindSymbol(handle, "setup_libbox", &setup_libbox_, error) &&
               BindSymbol(handle, "get_version", &get_version_, error) &&
               BindSymbol(handle, "create_service", &create_service_, error) &&
               BindSymbol(handle, "start_service", &start_service_, error) &&
               BindSymbol(handle, "stop_service", &stop_service_, error) &&
               BindSymbol(handle, "get_status", &get_status_, error) &&
               BindSymbol(handle, "get_last_error", &get_last_error_, error) &&
               BindSymbol(handle, "free_string", &free_string_, error);
  if (!bound) {
    return false;
  }
  kLog.Info() << "All libbox functions loaded successfully";
  return true;
}

bool LibboxInterface::VerifyLibraryHash(const std::string& path) {
  std::string expected = expected_sha256_ != nullptr ? expected_sha256_ : "";
  for (char& c : expected) {
    if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (expected.size() != 2 * kSha256DigestSize) {
    kSecurityWarn.Error() << "libbox integrity hash not configured (kLibboxExpectedSha256 "
                             "empty); skipping verification for: "
                          << path;
    return true;
  }
  const std::string actual = Sha256::FileHex(path);
  if (actual.empty()) {
    kSecurityAudit.Error() << "Unable to hash libbox for verification (loading anyway, "
                              "enforcement off): "
                           << path;
  } else if (actual != expected) {
    kSecurityAudit.Error() << "libbox integrity MISMATCH for " << path << " (expected " << expected
                           << ", got " << actual << "); loading anyway (enforcement off).";
  }
  return true;
}

void LibboxInterface::Cleanup() {
  if (service_created_ && stop_service_ != nullptr) {
    StopService();
  }
  Unload();
}

void LibboxInterface::Unload() {
  if (library_handle_ != nullptr) {
    dlclose(library_handle_);
    library_handle_ = nullptr;
  }
  setup_libbox_ = nullptr;
  get_version_ = nullptr;
  create_service_ = nullptr;
  start_service_ = nullptr;
  stop_service_ = nullptr;
  get_status_ = nullptr;
  get_last_error_ = nullptr;
  free_string_ = nullptr;
  initialized_ = false;
  service_created_ = false;
}
