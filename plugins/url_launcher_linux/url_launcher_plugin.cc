#include "include/url_launcher_linux/url_launcher_plugin.h"

// The library exists so the executable links and loads it as in production; its Dart
// counterpart is not part of this build, so there are no channels to register.
void url_launcher_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  (void)registrar;
}
