#ifndef TOOLS_KORVANECTL_HELP_H_
#define TOOLS_KORVANECTL_HELP_H_

#include <string>

// korvanectl's usage and reference texts, the latter rendered from the protocol's reference.
namespace korvane::ctl {

// The whole usage: commands, options, output, exit statuses, every method and event.
std::string UsageText(const std::string& socket_path);

// One line per method name (for shell completion).
std::string MethodNames();

}  // namespace korvane::ctl

#endif  // TOOLS_KORVANECTL_HELP_H_
