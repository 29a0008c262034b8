#include "control_panel/panel_hand_over.h"

PanelHandOver::PanelHandOver(FlBridgeMessenger* messenger,
                             std::function<void(bool active)> on_change)
    : messenger_(FL_BRIDGE_MESSENGER(g_object_ref(messenger))), on_change_(std::move(on_change)) {
  state_changed_handler_ =
      g_signal_connect(messenger_, "state-changed", G_CALLBACK(StateChangedCb), this);
  start_source_ = g_idle_add(StartCb, this);
}

PanelHandOver::~PanelHandOver() {
  g_clear_handle_id(&start_source_, g_source_remove);
  g_clear_signal_handler(&state_changed_handler_, messenger_);
  g_object_unref(messenger_);
}

void PanelHandOver::StateChangedCb(FlBridgeMessenger*, gpointer user_data) {
  static_cast<PanelHandOver*>(user_data)->Update();
}

gboolean PanelHandOver::StartCb(gpointer user_data) {
  PanelHandOver* self = static_cast<PanelHandOver*>(user_data);
  self->start_source_ = 0;
  self->started_ = true;
  self->Update();
  return G_SOURCE_REMOVE;
}

void PanelHandOver::Update() {
  if (!started_) {
    return;
  }
  const bool active = !fl_bridge_messenger_has_client(messenger_);
  if (reported_ && active == active_) {
    return;
  }
  reported_ = true;
  active_ = active;
  on_change_(active);
}
