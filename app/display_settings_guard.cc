// The display's gtk-modules setting (XSETTINGS "Gtk/Modules") names modules GTK loads when it
// opens the display and again whenever the setting changes; any client of the display can
// publish it by running an XSETTINGS manager. GTK reads every display setting through
// gdk_screen_get_setting, and the executable's own definition of a function comes first in the
// dynamic linker's lookup, so GTK's calls arrive here. In a privileged start this answers "not
// set" for gtk-modules; every other setting, and every setting of an ordinary start, comes from
// GDK's own function.

#include <dlfcn.h>
#include <gdk/gdk.h>

#include <atomic>

#include "app/secure_start.h"
#include "base/log.h"
#include "base/logger.h"

namespace {

constexpr korvane::Logger kLog(korvane::kSecurityWarnTag);

constexpr char kModulesSetting[] = "gtk-modules";

using GetSettingFunction = gboolean (*)(GdkScreen*, const gchar*, GValue*);

GetSettingFunction GdkGetSetting() {
  static const GetSettingFunction function =
      reinterpret_cast<GetSettingFunction>(dlsym(RTLD_NEXT, "gdk_screen_get_setting"));
  return function;
}

// Says once what the display asked for.
void ReportIgnoredModules(GdkScreen* screen) {
  static std::atomic<bool> reported{false};
  if (reported.load() || GdkGetSetting() == nullptr) {
    return;
  }
  GValue value = G_VALUE_INIT;
  g_value_init(&value, G_TYPE_STRING);
  if (GdkGetSetting()(screen, kModulesSetting, &value) && g_value_get_string(&value) != nullptr &&
      g_value_get_string(&value)[0] != '\0' && !reported.exchange(true)) {
    kLog.Error() << "Privileged start: ignoring the display's " << kModulesSetting
                 << " setting: " << g_value_get_string(&value);
  }
  g_value_unset(&value);
}

}  // namespace

extern "C" gboolean gdk_screen_get_setting(GdkScreen* screen, const gchar* name, GValue* value) {
  if (korvane::SecureStart::Active() && g_strcmp0(name, kModulesSetting) == 0) {
    ReportIgnoredModules(screen);
    return FALSE;
  }
  const GetSettingFunction function = GdkGetSetting();
  return function != nullptr && function(screen, name, value);
}
