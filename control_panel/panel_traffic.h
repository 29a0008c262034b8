#ifndef CONTROL_PANEL_PANEL_TRAFFIC_H_
#define CONTROL_PANEL_PANEL_TRAFFIC_H_

#include <gtk/gtk.h>

#include <string>

#include "control_panel/panel_http.h"

// Up and down speed (the controller's /traffic stream, one reading a second) and the number of
// live connections (its /connections, asked once a second) while a connection runs. Each change
// is written as "[Panel] speed: up N B/s, down N B/s" and "[Panel] connections: N". Main thread
// only.
class PanelTraffic {
 public:
  PanelTraffic();
  ~PanelTraffic();
  PanelTraffic(const PanelTraffic&) = delete;
  PanelTraffic& operator=(const PanelTraffic&) = delete;

  GtkWidget* widget() const { return box_; }

  // Follows the controller of a connection that has just come up.
  void Follow(const PanelController& controller);
  // Forgets the connection: no readings; late ones are dropped.
  void Clear();

 private:
  static gboolean PollCb(gpointer data);
  void PollConnections();
  void OnTraffic(const std::string& line);
  void ShowSpeed(const std::string& text);
  void ShowConnections(const std::string& text);

  // Its own requests, so that clearing drops them and nothing else.
  PanelHttp http_;
  PanelController controller_;
  int generation_ = 0;
  guint poll_source_ = 0;
  bool asking_ = false;
  std::string speed_;
  std::string connections_;

  GtkWidget* box_ = nullptr;
  GtkWidget* speed_label_ = nullptr;
  GtkWidget* connections_label_ = nullptr;
};

#endif  // CONTROL_PANEL_PANEL_TRAFFIC_H_
