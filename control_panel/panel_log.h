#ifndef CONTROL_PANEL_PANEL_LOG_H_
#define CONTROL_PANEL_PANEL_LOG_H_

#include <gtk/gtk.h>
#include <sys/types.h>

#include <string>

// The log view: follows the engine's session log file while a connection runs, each line
// coloured by its level. It keeps the last kMaxLines lines only, however long the session runs.
// Each line it adds is also written as "[Panel] log: LINE". Main thread only.
class PanelLog {
 public:
  static constexpr int kMaxLines = 500;

  PanelLog();
  ~PanelLog();
  PanelLog(const PanelLog&) = delete;
  PanelLog& operator=(const PanelLog&) = delete;

  // The view's widget (owned by whatever it is packed into).
  GtkWidget* widget() const { return scroller_; }

  // Follows @path from its start (a new session's log); what is shown stays.
  void Follow(const std::string& path);
  // Stops following; the lines shown stay until the next session's.
  void Stop();

 private:
  static gboolean PollCb(gpointer data);
  void Poll();
  void Append(const std::string& line);

  std::string path_;
  // Where reading goes on, in the file identified by inode_.
  off_t offset_ = 0;
  ino_t inode_ = 0;
  // An unfinished last line.
  std::string partial_;
  guint poll_source_ = 0;

  GtkWidget* scroller_ = nullptr;
  GtkWidget* view_ = nullptr;
  GtkTextBuffer* buffer_ = nullptr;
};

#endif  // CONTROL_PANEL_PANEL_LOG_H_
