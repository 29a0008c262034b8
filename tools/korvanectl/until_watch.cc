#include "tools/korvanectl/until_watch.h"

#include <algorithm>
#include <utility>

#include "vpn/vpn_channels.h"

namespace korvane::ctl {

namespace {

std::string StatusOf(const char* state) {
  return std::string(kEventStatePrefix) + state;
}

}  // namespace

UntilWatch::UntilWatch(std::vector<std::string> statuses, bool call_connects)
    : statuses_(std::move(statuses)), call_connects_(call_connects) {}

bool UntilWatch::Ends(const std::string& status) {
  if (call_connects_) {
    if (status == StatusOf(kStateConnecting)) {
      connecting_ = true;
    } else if (status == StatusOf(kStateConnected)) {
      connecting_ = false;
    } else if (status == kEventErrorStatus) {
      connecting_ = false;
      failed_ = true;
    } else if (connecting_) {
      // The old service stopping inside a reconnect.
      return false;
    }
    if (failed_ && status == StatusOf(kStateDisconnected)) {
      // A failed connect ends there, whatever was waited for.
      return true;
    }
  }
  return std::find(statuses_.begin(), statuses_.end(), status) != statuses_.end();
}

}  // namespace korvane::ctl
