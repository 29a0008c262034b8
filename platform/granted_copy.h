#ifndef PLATFORM_GRANTED_COPY_H_
#define PLATFORM_GRANTED_COPY_H_

// Where granted copies live. The network capability is never given to a file the user can
// change: root copies the verified executable (with its lib/ and data/) into a root-owned
// directory below this root, one per user and install directory, and grants that copy.
namespace korvane {

// kGrantedRoot/<uid>/<key>/: root-owned; <uid> is root:<user's group> 0750.
inline constexpr char kGrantedRoot[] = "/var/lib/korvane/granted";

}  // namespace korvane

#endif  // PLATFORM_GRANTED_COPY_H_
