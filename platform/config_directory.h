#ifndef KORVANE_PLATFORM_CONFIG_DIRECTORY_H_
#define KORVANE_PLATFORM_CONFIG_DIRECTORY_H_

#include <string>

namespace korvane {

// The per-user directory of the host's own files: XDG_CONFIG_HOME (set and non-empty) +
// "/korvane", else HOME (set) + "/.config/korvane", else the password entry's home +
// "/.config/korvane", else "/tmp/korvane". Computed afresh on each call; creates nothing.
// Any thread.
std::string ConfigDirectory();

}  // namespace korvane

#endif  // KORVANE_PLATFORM_CONFIG_DIRECTORY_H_
