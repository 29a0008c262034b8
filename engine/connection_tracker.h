// The live connections of a service as the controller lists and closes them, and the service's
// traffic totals. Inbounds' loops own the connections; the tracker only watches them (weak
// references), so a connection leaves the list when its loop lets go of it. Any thread.
#ifndef ENGINE_CONNECTION_TRACKER_H_
#define ENGINE_CONNECTION_TRACKER_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/outbound_plan.h"

namespace box {

class ConnectionTracker {
 public:
  ConnectionTracker() : totals_(std::make_shared<TrafficTotals>()) {}

  // A new connection's handle, listed from now on.
  std::shared_ptr<ConnectionHandle> Open(const RouteRequest& request,
                                         std::vector<std::string> chains,
                                         std::string rule);
  // The connections still open, oldest first.
  std::vector<std::shared_ptr<ConnectionHandle>> Live();
  // Asks the loops to close: every connection, one by id (false when unknown), or every
  // connection whose chain passes through `tag`. Returns how many were asked.
  size_t CloseAll();
  bool Close(const std::string& id);
  size_t CloseThrough(const std::string& tag);

  uint64_t upload_total() const { return totals_->upload.load(); }
  uint64_t download_total() const { return totals_->download.load(); }
  uint64_t dropped_packets() const { return totals_->dropped_packets.load(); }
  const std::shared_ptr<TrafficTotals>& totals() const { return totals_; }

 private:
  std::string NewId();

  std::shared_ptr<TrafficTotals> totals_;
  std::mutex mutex_;
  uint64_t counter_ = 0;
  std::map<uint64_t, std::weak_ptr<ConnectionHandle>> connections_;  // by opening order
};

}  // namespace box

#endif  // ENGINE_CONNECTION_TRACKER_H_
