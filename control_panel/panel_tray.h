#ifndef CONTROL_PANEL_PANEL_TRAY_H_
#define CONTROL_PANEL_PANEL_TRAY_H_

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

typedef struct _AppIndicator AppIndicator;

// The panel's tray icon: a StatusNotifierItem (through the Ayatana AppIndicator library) whose
// icon and title say the connection's state, with a menu to connect or disconnect, the node in
// use, the window and quitting. It is only made where a session bus answers: without one the
// library could only complain. Main thread only.
class PanelTray {
 public:
  struct Actions {
    // What the panel's connect/disconnect button does.
    std::function<void()> toggle;
    // Maps and raises the panel's window.
    std::function<void()> show_window;
  };

  // Null when there is no session bus.
  static std::unique_ptr<PanelTray> Create(Actions actions);
  // Whether a tray watcher owns its name on the session bus now (false without a bus).
  static bool WatcherPresent();

  explicit PanelTray(Actions actions);
  ~PanelTray();
  PanelTray(const PanelTray&) = delete;
  PanelTray& operator=(const PanelTray&) = delete;

  // The panel's state ("disconnected", "connecting", "connected", "disconnecting", "unknown"),
  // its last error ("" when none) and the node in use ("" when none is known).
  void SetState(const std::string& state);
  void SetError(const std::string& error);
  void SetNode(const std::string& node);
  // False while another UI has the channels: the panel's own controls are off then, and so is
  // the menu's connect item (the window and quitting stay).
  void SetUsable(bool usable);

 private:
  void Update();

  Actions actions_;
  AppIndicator* indicator_ = nullptr;
  GtkWidget* menu_ = nullptr;
  GtkWidget* toggle_item_ = nullptr;
  GtkWidget* node_item_ = nullptr;
  std::string state_ = "unknown";
  std::string error_;
  std::string node_;
  bool usable_ = false;
  // What the item shows now, so an unchanged state sends nothing over the bus.
  std::string shown_;
};

#endif  // CONTROL_PANEL_PANEL_TRAY_H_
