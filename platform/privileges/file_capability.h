#ifndef PLATFORM_PRIVILEGES_FILE_CAPABILITY_H_
#define PLATFORM_PRIVILEGES_FILE_CAPABILITY_H_

#include <string>

// The file test of the network capability, shared by the capability report and by the grant's
// checks of the copy it made. Any thread; nothing is cached.
namespace korvane {

// True when the file carries CAP_NET_ADMIN both permitted and effective. Writes nothing.
bool FileHasNetAdmin(const std::string& path);

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_FILE_CAPABILITY_H_
