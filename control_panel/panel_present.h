#ifndef CONTROL_PANEL_PANEL_PRESENT_H_
#define CONTROL_PANEL_PANEL_PRESENT_H_

#include <glib.h>
#include <sys/types.h>

#include <functional>
#include <string>

// Lets a second launch hand over to the running host instead of starting another: the panel of
// the host that serves the UI bridge also listens on "<bridge socket>.present", in the bridge's
// private directory, and a launch that finds the bridge served by another instance asks there
// for that host's window. It needs no session bus. The request is the line "present", the
// answer "presented"; only clients of our own user are answered.

// Returns: where the panel beside @bridge_path listens.
std::string PanelPresentPath(const std::string& bridge_path);

// Serves present requests for as long as it lives. Main thread only.
class PanelPresentServer {
 public:
  // Listens beside @bridge_path (a socket left there by an earlier run is replaced: the bridge
  // socket, which only the live host holds, has just been taken by us) and runs @present for
  // each request before answering it. Not listening is reported once and otherwise harmless.
  PanelPresentServer(const std::string& bridge_path, std::function<void()> present);
  ~PanelPresentServer();
  PanelPresentServer(const PanelPresentServer&) = delete;
  PanelPresentServer& operator=(const PanelPresentServer&) = delete;

  bool listening() const { return fd_ >= 0; }

 private:
  static gboolean AcceptCb(gint fd, GIOCondition condition, gpointer user_data);
  void Serve(int client);

  std::string path_;
  std::function<void()> present_;
  int fd_ = -1;
  ino_t inode_ = 0;
  guint source_ = 0;
};

// Asks the host serving @bridge_path to present its window. Returns true when it did; false
// when no host's panel answers there (none runs, or it is not driven by the panel).
bool PanelAskRunningHostToPresent(const std::string& bridge_path);

#endif  // CONTROL_PANEL_PANEL_PRESENT_H_
