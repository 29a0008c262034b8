#include "control_panel/panel_autostart.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr char kSelfLink[] = "/proc/self/exe";
constexpr char kDeletedSuffix[] = " (deleted)";

// One argument of an Exec line, quoted as the desktop entry format asks: inside double quotes,
// a backslash before each of " ` $ and \; a percent sign doubled (it would start a field code).
std::string QuoteExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      quoted += '\\';
    } else if (c == '%') {
      quoted += '%';
    }
    quoted += c;
  }
  return quoted + "\"";
}

bool IsLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

std::string PanelAutostart::Path(const std::string& app_id) {
  g_autofree gchar* path = g_build_filename(g_get_user_config_dir(), "autostart",
                                            (app_id + ".desktop").c_str(), nullptr);
  return path;
}

bool PanelAutostart::IsEnabled(const std::string& app_id) {
  struct stat info;
  return lstat(Path(app_id).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string PanelAutostart::DesktopEntry(const std::string& executable, bool minimized) {
  std::string exec = QuoteExecArgument(executable);
  if (minimized) {
    exec = std::string("env ") + kMinimizedVariable + "=1 " + exec;
  }
  g_autoptr(GKeyFile) entry = g_key_file_new();
  constexpr char kGroup[] = "Desktop Entry";
  g_key_file_set_string(entry, kGroup, "Type", "Application");
  g_key_file_set_string(entry, kGroup, "Name", "Korvane");
  g_key_file_set_string(entry, kGroup, "Comment", "Korvane at login");
  // The key file's own escaping (a backslash doubled) over the Exec quoting, as the format has
  // it.
  g_key_file_set_string(entry, kGroup, "Exec", exec.c_str());
  g_key_file_set_string(entry, kGroup, "Icon", "network-vpn");
  g_key_file_set_boolean(entry, kGroup, "Terminal", FALSE);
  g_key_file_set_boolean(entry, kGroup, "X-GNOME-Autostart-enabled", TRUE);
  g_autofree gchar* text = g_key_file_to_data(entry, nullptr, nullptr);
  return text;
}

std::string PanelAutostart::RunningExecutable() {
  g_autofree gchar* target = g_file_read_link(kSelfLink, nullptr);
  if (target == nullptr) {
    return "";
  }
  std::string path = target;
  const size_t suffix = strlen(kDeletedSuffix);
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeletedSuffix) == 0) {
    path.resize(path.size() - suffix);
  }
  return path;
}

bool PanelAutostart::Enable(const std::string& app_id,
                            const std::string& executable,
                            bool minimized) {
  const std::string path = Path(app_id);
  if (executable.empty()) {
    g_printerr("[Panel] cannot write %s: the running executable is unknown\n", path.c_str());
    return false;
  }
  if (IsLink(path)) {
    g_printerr("[Panel] refusing to write %s: it is a symbolic link\n", path.c_str());
    return false;
  }
  g_autofree gchar* dir = g_path_get_dirname(path.c_str());
  if (g_mkdir_with_parents(dir, 0700) != 0) {
    g_printerr("[Panel] cannot create %s: %s\n", dir, g_strerror(errno));
    return false;
  }
  // Beside the entry, so the rename is atomic; the desktop never reads half an entry.
  std::string temp = std::string(dir) + "/.korvane-autostart-XXXXXX";
  int fd = g_mkstemp_full(&temp[0], O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    g_printerr("[Panel] cannot write in %s: %s\n", dir, g_strerror(errno));
    return false;
  }
  const std::string text = DesktopEntry(executable, minimized);
  size_t done = 0;
  bool ok = fchmod(fd, 0644) == 0;
  while (ok && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno;
  close(fd);
  // A link put there meanwhile is replaced by the rename, never written through.
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    saved = ok ? errno : saved;
    unlink(temp.c_str());
    g_printerr("[Panel] cannot write %s: %s\n", path.c_str(), g_strerror(saved));
    return false;
  }
  return true;
}

bool PanelAutostart::Disable(const std::string& app_id) {
  const std::string path = Path(app_id);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT;
  }
  if (!S_ISREG(info.st_mode)) {
    g_printerr("[Panel] refusing to remove %s: not a regular file\n", path.c_str());
    return false;
  }
  if (unlink(path.c_str()) != 0) {
    g_printerr("[Panel] cannot remove %s: %s\n", path.c_str(), g_strerror(errno));
    return false;
  }
  return true;
}
