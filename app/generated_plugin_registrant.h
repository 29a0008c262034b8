#ifndef APP_GENERATED_PLUGIN_REGISTRANT_H_
#define APP_GENERATED_PLUGIN_REGISTRANT_H_

#include <flutter_linux/flutter_linux.h>

// Registers the plug-ins with the registry.
void fl_register_plugins(FlPluginRegistry* registry);

#endif  // APP_GENERATED_PLUGIN_REGISTRANT_H_
