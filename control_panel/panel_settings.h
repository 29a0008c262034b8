#ifndef CONTROL_PANEL_PANEL_SETTINGS_H_
#define CONTROL_PANEL_PANEL_SETTINGS_H_

#include <string>

// What the panel remembers across launches, in its own small key file
// ($XDG_CONFIG_HOME/korvane/panel.ini, group "panel"), apart from the host's configuration
// store. Each write replaces the file whole (a crash leaves the old one or the new one) and is
// readable by its owner only. Main thread only.
class PanelSettings {
 public:
  // Returns: the value of @key, or "" when the file or the key is missing or unreadable.
  static std::string GetString(const std::string& key);
  // Returns: whether @value was stored under @key.
  static bool SetString(const std::string& key, const std::string& value);

  // A file name stored as its URI, so that a name that is not UTF-8 survives the key file.
  static std::string GetPath(const std::string& key);
  static bool SetPath(const std::string& key, const std::string& path);

  // Returns: the file's path.
  static std::string FilePath();
};

#endif  // CONTROL_PANEL_PANEL_SETTINGS_H_
