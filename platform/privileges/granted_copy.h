#ifndef PLATFORM_PRIVILEGES_GRANTED_COPY_H_
#define PLATFORM_PRIVILEGES_GRANTED_COPY_H_

#include <sys/types.h>

#include <filesystem>
#include <string>

// Where granted copies live and how the host finds them. The network capability is never given
// to a file the user can change: root copies the verified executable (with its lib/ and data/)
// into a root-owned directory below kGrantedRoot, one per user and install directory, and
// grants that copy. Layout of one grant:
//
//   kGrantedRoot/<uid>/            root:<user's group> 0750
//     <key>/                       root 0755; <key>: 32 hex digits of the install directory's
//       korvane                    root:<group> 0750, run path <key>/lib, cap_net_admin+ep
//       korvane-cap-wrapper        only when covered by the manifest: root:<group> 0750, +eip
//       lib/ data/                 root 0755/0644
//       sha256                     the digest of the user's korvane that was granted
//       source                     the install directory the copy was made from
//
// Any thread; nothing is cached.
namespace korvane {

inline constexpr char kGrantedRoot[] = "/var/lib/korvane/granted";

class GrantedCopy {
 public:
  // kGrantedRoot/<uid>/<the first 32 hex digits of the SHA-256 of the canonical install
  // directory's path>.
  static std::filesystem::path DirectoryFor(const std::filesystem::path& canonical_install_dir,
                                            uid_t uid);
  // The digest recorded by the grant in `granted_dir`; empty when there is none.
  static std::string RecordedSha256(const std::filesystem::path& granted_dir);
  // The install directory the grant in `granted_dir` was copied from; empty when none.
  static std::filesystem::path RecordedSource(const std::filesystem::path& granted_dir);
  // The file of the grant that carries the capability: the wrapper when granted, else korvane.
  static std::filesystem::path Target(const std::filesystem::path& granted_dir);
  // True when `granted_dir` holds a grant of `sha256` whose target carries CAP_NET_ADMIN
  // permitted and effective.
  static bool IsInPlace(const std::filesystem::path& granted_dir, const std::string& sha256);
  // True when the canonical `path` lies below kGrantedRoot.
  static bool IsBelowRoot(const std::filesystem::path& canonical_path);
  // The grant in place for the user's executable at `path` as it is now (its digest is
  // computed); empty when there is none, or when `path` is no regular file.
  static std::filesystem::path FindFor(const std::string& path);
};

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_GRANTED_COPY_H_
