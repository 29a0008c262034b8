#ifndef PLATFORM_INSTALL_MANIFEST_H_
#define PLATFORM_INSTALL_MANIFEST_H_

#include <filesystem>
#include <string>

// The manifest an installer writes into an install directory, as the host reads it: no JSON
// parser, one member per line, the key and its whole string value on one line. Any thread.
namespace korvane {

inline constexpr char kManifestFileName[] = "manifest.json";
inline constexpr char kBinaryDigestKey[] = "binarySha256";
inline constexpr char kWrapperDigestKey[] = "capWrapperSha256";

// The value of the first line that holds `key` in double quotes, then a colon, then a value
// in double quotes (which may be empty: that line ends the scan all the same); empty when the
// file cannot be read, is no regular file, or has no such line within its first MiB.
std::string ReadManifestMember(const std::filesystem::path& manifest, const std::string& key);

// The digest of the install directory's korvane-cap-wrapper when its manifest covers it and
// the file has that digest; empty otherwise, with one line saying why when a wrapper is there.
std::string CoveredWrapperDigest(const std::filesystem::path& install_dir);

}  // namespace korvane

#endif  // PLATFORM_INSTALL_MANIFEST_H_
