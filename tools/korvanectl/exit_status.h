#ifndef TOOLS_KORVANECTL_EXIT_STATUS_H_
#define TOOLS_KORVANECTL_EXIT_STATUS_H_

// korvanectl's exit statuses, one per outcome a script tells apart.
namespace korvane::ctl {

constexpr int kExitSuccess = 0;         // the host answered with success (and --until was met)
constexpr int kExitErrorAnswer = 1;     // the host answered with an error
constexpr int kExitBadUsage = 2;        // the command line or its argument is wrong
constexpr int kExitNoHost = 3;          // no host at the socket (or one not safely ours, or gone)
constexpr int kExitHostBusy = 4;        // the host serves another client
constexpr int kExitTimeout = 5;         // no answer, or no --until state, in time
constexpr int kExitNotImplemented = 6;  // the host has no such method on that channel

}  // namespace korvane::ctl

#endif  // TOOLS_KORVANECTL_EXIT_STATUS_H_
