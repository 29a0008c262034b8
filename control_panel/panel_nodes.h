#ifndef CONTROL_PANEL_PANEL_NODES_H_
#define CONTROL_PANEL_PANEL_NODES_H_

#include <gtk/gtk.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "control_panel/panel_channel_client.h"
#include "control_panel/panel_http.h"

// The node view: the running configuration's groups and their members as the engine's
// controller lists them, each member with its last delay ("untested" or "failed" in words), the
// member in use marked. Activating a member makes its group use it. Delays are measured through
// the host's own latency methods. What it shows is written as "[Panel] nodes: GROUP: MEMBER
// (DELAY)*, ...; ..." with "*" after the member in use. Main thread only.
class PanelNodes {
 public:
  explicit PanelNodes(PanelChannelClient* client);
  PanelNodes(const PanelNodes&) = delete;
  PanelNodes& operator=(const PanelNodes&) = delete;

  // The view's widget (owned by whatever it is packed into).
  GtkWidget* widget() const { return box_; }
  // The tree, for a mnemonic that focuses it.
  GtkWidget* tree() const { return tree_; }

  // Shows the groups of the controller of a connection that has just come up.
  void Load(const PanelController& controller);
  // Forgets the connection: an empty view, and no late answer of it is shown.
  void Clear();
  // Measures every group's members through the host, then shows the delays.
  void TestDelays();

 private:
  struct Group {
    std::string name;
    std::string type;
    std::string now;
    std::vector<std::string> members;
  };

  void Reload();
  void Fill(const std::string& body);
  void Render();
  void TestGroup(size_t index, int generation);
  void Switch(const std::string& group, const std::string& member);
  void ShowStatus(const std::string& text);
  std::string DelayText(const std::string& member) const;

  PanelChannelClient* client_;
  // Its own requests, so that clearing drops them and nothing else.
  PanelHttp http_;
  PanelController controller_;
  // Bumped by Clear(): answers that belong to an earlier connection are dropped.
  int generation_ = 0;
  std::vector<Group> groups_;
  // Delays in ms the controller keeps (its last successful test) and the host measured.
  std::map<std::string, long> history_;
  std::map<std::string, long> measured_;
  // Members measured since the connection came up (without a delay: failed).
  std::set<std::string> tested_;
  bool testing_ = false;

  GtkWidget* box_ = nullptr;
  GtkTreeStore* store_ = nullptr;
  GtkWidget* tree_ = nullptr;
  GtkWidget* status_ = nullptr;
};

#endif  // CONTROL_PANEL_PANEL_NODES_H_
