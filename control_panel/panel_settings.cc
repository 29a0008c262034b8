#include "control_panel/panel_settings.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <functional>

namespace {

constexpr char kGroup[] = "panel";
constexpr char kFileName[] = "panel.ini";

// The settings as they are on disk (empty when there are none).
GKeyFile* Load() {
  GKeyFile* file = g_key_file_new();
  g_key_file_load_from_file(file, PanelSettings::Path().c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
  return file;
}

bool Store(const std::function<void(GKeyFile*)>& change) {
  g_autoptr(GKeyFile) file = Load();
  change(file);
  const std::string path = PanelSettings::Path();
  g_autofree gchar* dir = g_path_get_dirname(path.c_str());
  gsize length = 0;
  g_autofree gchar* data = g_key_file_to_data(file, &length, nullptr);
  g_autoptr(GError) error = nullptr;
  if (g_mkdir_with_parents(dir, 0700) != 0 ||
      !g_file_set_contents_full(path.c_str(), data, static_cast<gssize>(length),
                                G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error)) {
    g_printerr("[Panel] cannot save the settings in %s: %s\n", path.c_str(),
               error != nullptr ? error->message : g_strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

std::string PanelSettings::Path() {
  g_autofree gchar* path = g_build_filename(g_get_user_config_dir(), "korvane", kFileName, nullptr);
  return path;
}

std::string PanelSettings::GetString(const char* key, const std::string& fallback) {
  g_autoptr(GKeyFile) file = Load();
  g_autofree gchar* value = g_key_file_get_string(file, kGroup, key, nullptr);
  return value != nullptr ? value : fallback;
}

bool PanelSettings::GetBool(const char* key, bool fallback) {
  g_autoptr(GKeyFile) file = Load();
  g_autoptr(GError) error = nullptr;
  const gboolean value = g_key_file_get_boolean(file, kGroup, key, &error);
  return error != nullptr ? fallback : value;
}

bool PanelSettings::SetString(const char* key, const std::string& value) {
  return Store([&](GKeyFile* file) { g_key_file_set_string(file, kGroup, key, value.c_str()); });
}

bool PanelSettings::SetBool(const char* key, bool value) {
  return Store([&](GKeyFile* file) { g_key_file_set_boolean(file, kGroup, key, value); });
}

std::string PanelSettings::GetPath(const char* key) {
  const std::string uri = GetString(key);
  if (uri.empty()) {
    return "";
  }
  g_autofree gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  return path != nullptr ? path : "";
}

bool PanelSettings::SetPath(const char* key, const std::string& path) {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, &error);
  if (uri == nullptr) {
    g_printerr("[Panel] cannot remember %s: %s\n", key, error->message);
    return false;
  }
  return SetString(key, uri);
}
