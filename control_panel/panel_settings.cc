#include "control_panel/panel_settings.h"

#include <glib.h>
#include <glib/gstdio.h>

namespace {

constexpr char kGroup[] = "panel";

}  // namespace

std::string PanelSettings::FilePath() {
  g_autofree gchar* path =
      g_build_filename(g_get_user_config_dir(), "korvane", "panel.ini", nullptr);
  return path;
}

std::string PanelSettings::GetString(const std::string& key) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  if (!g_key_file_load_from_file(file, FilePath().c_str(), G_KEY_FILE_NONE, nullptr)) {
    return "";
  }
  g_autofree gchar* value = g_key_file_get_string(file, kGroup, key.c_str(), nullptr);
  return value != nullptr ? value : "";
}

bool PanelSettings::SetString(const std::string& key, const std::string& value) {
  const std::string path = FilePath();
  g_autoptr(GKeyFile) file = g_key_file_new();
  // Other keys are kept; a file that cannot be read is started afresh.
  g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
  g_key_file_set_string(file, kGroup, key.c_str(), value.c_str());
  gsize length = 0;
  g_autofree gchar* text = g_key_file_to_data(file, &length, nullptr);
  g_autofree gchar* dir = g_path_get_dirname(path.c_str());
  g_autoptr(GError) error = nullptr;
  if (g_mkdir_with_parents(dir, 0700) != 0 ||
      !g_file_set_contents_full(path.c_str(), text, static_cast<gssize>(length),
                                G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error)) {
    g_printerr("[Panel] cannot remember %s in %s: %s\n", key.c_str(), path.c_str(),
               error != nullptr ? error->message : g_strerror(errno));
    return false;
  }
  return true;
}

std::string PanelSettings::GetPath(const std::string& key) {
  const std::string uri = GetString(key);
  if (uri.empty()) {
    return "";
  }
  g_autofree gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  return path != nullptr ? path : "";
}

bool PanelSettings::SetPath(const std::string& key, const std::string& path) {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, &error);
  if (uri == nullptr) {
    g_printerr("[Panel] cannot remember %s: %s\n", key.c_str(), error->message);
    return false;
  }
  return SetString(key, uri);
}
