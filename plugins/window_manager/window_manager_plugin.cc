#include "include/window_manager/window_manager_plugin.h"

// The library exists so the executable links and loads it as in production; its Dart
// counterpart is not part of this build, so there are no channels to register.
void window_manager_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  (void)registrar;
}
