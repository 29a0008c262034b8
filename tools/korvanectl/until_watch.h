#ifndef TOOLS_KORVANECTL_UNTIL_WATCH_H_
#define TOOLS_KORVANECTL_UNTIL_WATCH_H_

#include <string>
#include <vector>

// Decides which event ends `call --until`: one whose status is listed and that follows the
// call's own transition. A connecting call's transition runs from its "vpn_connecting" to
// "vpn_connected" or "vpn_error"; the stop of a running service in between (a reconnect's
// "vpn_disconnecting", "vpn_disconnected") is part of it, not its end. A failed connect ends at
// the "vpn_disconnected" after its error, listed or not.
namespace korvane::ctl {

class UntilWatch {
 public:
  UntilWatch(std::vector<std::string> statuses, bool call_connects);

  // Whether the event with this status ends the wait.
  bool Ends(const std::string& status);

 private:
  std::vector<std::string> statuses_;
  bool call_connects_;
  bool connecting_ = false;
  bool failed_ = false;
};

}  // namespace korvane::ctl

#endif  // TOOLS_KORVANECTL_UNTIL_WATCH_H_
