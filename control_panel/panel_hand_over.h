#ifndef CONTROL_PANEL_PANEL_HAND_OVER_H_
#define CONTROL_PANEL_PANEL_HAND_OVER_H_

#include <functional>

#include "fl_bridge_messenger.h"

// Decides when the panel may use the channels: only while no bridge client (korvanectl, a
// future UI) is attached, since the host serves one UI at a time. Reports each change once:
// true when the panel takes the channels (first from the main loop after start-up, so the host
// has created its channels by then, and again whenever the client leaves), false when a client
// attaches. The latter is reported from the messenger's own notification, before the client's
// first message is read, so whatever the panel sends then reaches the host before the client's
// messages. Main thread only.
class PanelHandOver {
 public:
  PanelHandOver(FlBridgeMessenger* messenger, std::function<void(bool active)> on_change);
  ~PanelHandOver();
  PanelHandOver(const PanelHandOver&) = delete;
  PanelHandOver& operator=(const PanelHandOver&) = delete;

  bool active() const { return active_; }

 private:
  static void StateChangedCb(FlBridgeMessenger* messenger, gpointer user_data);
  static gboolean StartCb(gpointer user_data);
  void Update();

  FlBridgeMessenger* messenger_;
  std::function<void(bool active)> on_change_;
  gulong state_changed_handler_ = 0;
  guint start_source_ = 0;
  bool started_ = false;
  // Whether the first state has been reported (the panel starts out neither active nor not).
  bool reported_ = false;
  bool active_ = false;
};

#endif  // CONTROL_PANEL_PANEL_HAND_OVER_H_
