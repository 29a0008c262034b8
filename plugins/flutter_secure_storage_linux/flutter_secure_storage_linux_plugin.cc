#include "include/flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h"

// The library exists so the executable links and loads it as in production; its Dart
// counterpart is not part of this build, so there are no channels to register.
void flutter_secure_storage_linux_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  (void)registrar;
}
