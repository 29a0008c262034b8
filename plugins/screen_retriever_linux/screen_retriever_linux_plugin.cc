#include "include/screen_retriever_linux/screen_retriever_linux_plugin.h"

// The library exists so the executable links and loads it as in production; its Dart
// counterpart is not part of this build, so there are no channels to register.
void screen_retriever_linux_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  (void)registrar;
}
