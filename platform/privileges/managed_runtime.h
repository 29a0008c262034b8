#ifndef PLATFORM_PRIVILEGES_MANAGED_RUNTIME_H_
#define PLATFORM_PRIVILEGES_MANAGED_RUNTIME_H_

#include <filesystem>
#include <string>

// The managed runtime: copies of the application kept below the user's home, one install
// directory each, which the host may grant the network capability to and restart into. The one
// description of an install directory, shared by the grant, the restart and the installer.
// Any thread; nothing is cached.
namespace korvane {

// Entries of an install directory (and of the bundle it is copied from).
inline constexpr char kExecutableFileName[] = "korvane";
inline constexpr char kCapWrapperFileName[] = "korvane-cap-wrapper";
inline constexpr char kLauncherFileName[] = "korvane-launch.sh";
inline constexpr char kManifestFileName[] = "manifest.json";
// Members of the manifest the host reads.
inline constexpr char kBinaryDigestKey[] = "binarySha256";
inline constexpr char kWrapperDigestKey[] = "capWrapperSha256";

// One required entry of an install directory.
struct InstallEntry {
  const char* name;
  bool directory;        // else a regular file
  bool from_bundle;      // copied from a built bundle; else written by the installer
  bool grant_requires;   // tested (with its type) before a grant
  bool bundle_may_link;  // in a bundle, a symbolic link to a file inside it will do
};

// The required entries, in the order the grant tests them. The restart needs every one of them
// to exist; korvane-cap-wrapper is optional and not listed.
inline constexpr InstallEntry kInstallLayout[] = {
    {kExecutableFileName, false, true, true, false},
    {"lib", true, true, true, false},
    {"data", true, true, true, false},
    {"data/icudtl.dat", false, true, true, true},
    {kManifestFileName, false, false, true, false},
    {kLauncherFileName, false, false, false, false},
};

class ManagedRuntime {
 public:
  // `home`/.local/share/Korvane/appimage-runtime; empty for an empty `home`.
  static std::filesystem::path RootFor(const std::string& home);
  // RootFor($HOME); empty when HOME is unset or empty.
  static std::filesystem::path Root();

  // A path as the grant and the restart judge it, canonicalised once.
  struct Install {
    // The canonical path (base/executable_path.h); empty when it does not resolve.
    std::filesystem::path canonical;
    // `canonical` is the canonical `root` or lies below it.
    bool in_root = false;
  };
  static Install ResolveInstall(const std::filesystem::path& path,
                                const std::filesystem::path& root);

  // Every entry the grant requires is there with its type (links followed), tested in order.
  static bool HasGrantEntries(const std::filesystem::path& install_dir);
  // Every required entry exists (links followed), whatever its type.
  static bool HasAllEntries(const std::filesystem::path& install_dir);
};

// The manifest an installer writes into an install directory, as the host reads it: no JSON
// parser, one member per line, the key and its whole string value on one line.

// The text of manifest.json: one member per line. "capWrapperSha256" is there only when
// `cap_wrapper_sha256` is not empty (the bundle has a korvane-cap-wrapper).
std::string RenderRuntimeManifest(const std::string& version,
                                  const std::string& binary_sha256,
                                  const std::string& cap_wrapper_sha256 = "");

// The value of the first line that holds `key` in double quotes, then a colon, then a value
// in double quotes (which may be empty: that line ends the scan all the same); empty when the
// file cannot be read, is no regular file, or has no such line within its first MiB.
std::string ReadManifestMember(const std::filesystem::path& manifest, const std::string& key);

// The digest of the install directory's korvane-cap-wrapper when its manifest covers it and
// the file has that digest; empty otherwise, with one line saying why when a wrapper is there.
std::string CoveredWrapperDigest(const std::filesystem::path& install_dir);

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_MANAGED_RUNTIME_H_
