// The plug-in registrant against a registry that records what it is asked for: the seven
// registrars by name, in order, each released after its registration function ran.

#include "app/generated_plugin_registrant.h"

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the fake registry saw.
std::vector<std::string> requested_names;
int live_registrars = 0;

}  // namespace

G_DECLARE_FINAL_TYPE(FakeRegistrar, fake_registrar, FAKE, REGISTRAR, GObject)
struct _FakeRegistrar {
  GObject parent_instance;
};
static void fake_registrar_iface_init(FlPluginRegistrarInterface*) {}
G_DEFINE_TYPE_WITH_CODE(FakeRegistrar,
                        fake_registrar,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                                              fake_registrar_iface_init))
static void fake_registrar_finalize(GObject* object) {
  --live_registrars;
  G_OBJECT_CLASS(fake_registrar_parent_class)->finalize(object);
}
static void fake_registrar_class_init(FakeRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fake_registrar_finalize;
}
static void fake_registrar_init(FakeRegistrar*) {}

G_DECLARE_FINAL_TYPE(FakeRegistry, fake_registry, FAKE, REGISTRY, GObject)
struct _FakeRegistry {
  GObject parent_instance;
};
// Called by the registrant for each plug-in: records the name, hands out a new registrar.
static FlPluginRegistrar* fake_registry_get_registrar_for_plugin(FlPluginRegistry*,
                                                                 const gchar* name) {
  requested_names.push_back(name);
  ++live_registrars;
  return FL_PLUGIN_REGISTRAR(g_object_new(fake_registrar_get_type(), nullptr));
}
static void fake_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = fake_registry_get_registrar_for_plugin;
}
G_DEFINE_TYPE_WITH_CODE(FakeRegistry,
                        fake_registry,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fake_registry_iface_init))
static void fake_registry_class_init(FakeRegistryClass*) {}
static void fake_registry_init(FakeRegistry*) {}

namespace {

TEST(PluginRegistrantTest, RegistersTheSevenPluginsInOrderAndReleasesEachRegistrar) {
  requested_names.clear();
  live_registrars = 0;
  g_autoptr(FakeRegistry) registry = FAKE_REGISTRY(g_object_new(fake_registry_get_type(), nullptr));
  fl_register_plugins(FL_PLUGIN_REGISTRY(registry));
  EXPECT_EQ(requested_names, (std::vector<std::string>{
                                 "FlutterSecureStorageLinuxPlugin", "GtkPlugin",
                                 "ScreenRetrieverLinuxPlugin", "SentryFlutterPlugin",
                                 "TrayManagerPlugin", "UrlLauncherPlugin", "WindowManagerPlugin"}));
  EXPECT_EQ(live_registrars, 0);
}

}  // namespace
