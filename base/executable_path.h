#ifndef BASE_EXECUTABLE_PATH_H_
#define BASE_EXECUTABLE_PATH_H_

#include <filesystem>
#include <string>

// Paths of executables as the kernel reports them, and the one canonical form the host compares
// paths in. Any thread; nothing is cached.
namespace korvane {

// The running executable, as a link the kernel keeps.
inline constexpr char kSelfExecutableLink[] = "/proc/self/exe";
// What the kernel appends to the target of /proc/<pid>/exe once the file was replaced or removed
// on disk.
inline constexpr char kDeletedSuffix[] = " (deleted)";

// `link_target` without a trailing kDeletedSuffix (a target that is nothing but the suffix is
// left as it is); `stripped`, when given, says whether one was removed.
std::string WithoutDeletedSuffix(const std::string& link_target, bool* stripped = nullptr);

// The absolute path with links, "." and ".." resolved as far as it exists; an empty path on any
// error.
std::filesystem::path CanonicalPath(const std::filesystem::path& path);

}  // namespace korvane

#endif  // BASE_EXECUTABLE_PATH_H_
