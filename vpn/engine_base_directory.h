#ifndef VPN_ENGINE_BASE_DIRECTORY_H_
#define VPN_ENGINE_BASE_DIRECTORY_H_

#include <string>

// Where the engine keeps its cache. Any thread.
namespace korvane {

// The engine's base (cache) directory, made if missing: "/tmp/korvane-" + the real uid while
// that is, or can be made, a private directory of ours. Anybody can create that name in /tmp
// first, so otherwise `config_dir` + "/cache" is made private and used instead, with one line
// on standard error. Empty, with one line, when neither is private: the engine gets no
// directory another user could have made.
std::string PrepareEngineBaseDirectory(const std::string& config_dir);

}  // namespace korvane

#endif  // VPN_ENGINE_BASE_DIRECTORY_H_
