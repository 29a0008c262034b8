#ifndef CONTROL_PANEL_PANEL_SETTINGS_H_
#define CONTROL_PANEL_PANEL_SETTINGS_H_

#include <string>

// The panel's own settings: one key file, "panel.ini" in the user's korvane configuration folder
// (XDG_CONFIG_HOME, else ~/.config), group "panel". Read afresh on each Get, so a value set by
// another panel is seen; each Set rewrites the file whole (mode 0600, its folder 0700). A missing
// or unreadable file reads as all defaults. Main thread only.
class PanelSettings {
 public:
  // Where the settings live.
  static std::string Path();

  static std::string GetString(const char* key, const std::string& fallback = "");
  static bool GetBool(const char* key, bool fallback = false);
  // False (with one diagnostic line) when the file cannot be written.
  static bool SetString(const char* key, const std::string& value);
  static bool SetBool(const char* key, bool value);
  // A file name, kept as its URI so that a name that is not UTF-8 survives the key file; ""
  // when unset or not a file URI.
  static std::string GetPath(const char* key);
  static bool SetPath(const char* key, const std::string& path);
};

#endif  // CONTROL_PANEL_PANEL_SETTINGS_H_
