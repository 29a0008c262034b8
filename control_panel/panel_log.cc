#include "control_panel/panel_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace {

// Often enough that a line reads as live, rarely enough to cost nothing.
constexpr guint kPollMs = 300;
// At most this much is read at a time, so a huge log never holds the main loop.
constexpr size_t kReadChunk = 64 * 1024;

// The engine's levels, as its log lines spell them, and their colours.
const struct {
  const char* level;
  const char* colour;
} kLevels[] = {{"TRACE", "#8c959f"}, {"DEBUG", "#57606a"}, {"INFO", "#0969da"}, {"WARN", "#9a6700"},
               {"ERROR", "#cf222e"}, {"FATAL", "#a40e26"}, {"PANIC", "#a40e26"}};

// The level of a line: the first of its leading words that names one ("" when none does).
const char* LevelOf(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  for (int i = 0; i < 4 && words >> word; i++) {
    for (const auto& level : kLevels) {
      if (word == level.level) {
        return level.level;
      }
    }
  }
  return "";
}

}  // namespace

PanelLog::PanelLog() {
  view_ = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view_), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view_), FALSE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(view_), TRUE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view_), GTK_WRAP_WORD_CHAR);
  buffer_ = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view_));
  for (const auto& level : kLevels) {
    gtk_text_buffer_create_tag(buffer_, level.level, "foreground", level.colour, nullptr);
  }
  scroller_ = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller_), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scroller_), 120);
  gtk_container_add(GTK_CONTAINER(scroller_), view_);
}

PanelLog::~PanelLog() {
  g_clear_handle_id(&poll_source_, g_source_remove);
}

void PanelLog::Follow(const std::string& path) {
  Stop();
  path_ = path;
  offset_ = 0;
  inode_ = 0;
  partial_.clear();
  gtk_text_buffer_set_text(buffer_, "", 0);
  poll_source_ = g_timeout_add(kPollMs, PollCb, this);
  Poll();
}

void PanelLog::Stop() {
  g_clear_handle_id(&poll_source_, g_source_remove);
}

gboolean PanelLog::PollCb(gpointer data) {
  static_cast<PanelLog*>(data)->Poll();
  return G_SOURCE_CONTINUE;
}

void PanelLog::Poll() {
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // Not written yet, or gone with a clean stop.
    return;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return;
  }
  if (info.st_ino != inode_ || info.st_size < offset_) {
    // A new file in its place (a new session), or the file was cut short: from its start.
    inode_ = info.st_ino;
    offset_ = 0;
    partial_.clear();
  }
  char chunk[kReadChunk];
  const ssize_t got = pread(fd, chunk, sizeof(chunk), offset_);
  close(fd);
  if (got <= 0) {
    return;
  }
  offset_ += got;
  partial_.append(chunk, got);
  size_t end;
  while ((end = partial_.find('\n')) != std::string::npos) {
    Append(partial_.substr(0, end));
    partial_.erase(0, end + 1);
  }
}

void PanelLog::Append(const std::string& line) {
  // The engine writes UTF-8, but the view takes nothing else.
  g_autofree gchar* text = g_utf8_make_valid(line.c_str(), line.size());
  GtkTextIter end;
  gtk_text_buffer_get_end_iter(buffer_, &end);
  if (gtk_text_buffer_get_char_count(buffer_) > 0) {
    gtk_text_buffer_insert(buffer_, &end, "\n", 1);
  }
  const char* level = LevelOf(line);
  if (*level != '\0') {
    gtk_text_buffer_insert_with_tags_by_name(buffer_, &end, text, -1, level, nullptr);
  } else {
    gtk_text_buffer_insert(buffer_, &end, text, -1);
  }
  // Bounded: the oldest lines go.
  const int excess = gtk_text_buffer_get_line_count(buffer_) - kMaxLines;
  if (excess > 0) {
    GtkTextIter start;
    GtkTextIter cut;
    gtk_text_buffer_get_start_iter(buffer_, &start);
    gtk_text_buffer_get_iter_at_line(buffer_, &cut, excess);
    gtk_text_buffer_delete(buffer_, &start, &cut);
  }
  gtk_text_buffer_get_end_iter(buffer_, &end);
  GtkTextMark* mark = gtk_text_buffer_get_insert(buffer_);
  gtk_text_buffer_place_cursor(buffer_, &end);
  gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(view_), mark);
  g_print("[Panel] log: %s\n", text);
}
