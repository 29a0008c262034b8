// The engine's surroundings: the project's paths and arguments, the engine as plug-in
// registry, and its texture registrar.

#include <gtest/gtest.h>

#include <string>

#include "flutter_linux/flutter_linux.h"

namespace {

// A texture that keeps the id it is given.
G_DECLARE_FINAL_TYPE(TestTexture, test_texture, TEST, TEXTURE, GObject)

struct _TestTexture {
  GObject parent_instance;
  int64_t id;
};

static void test_texture_iface_init(FlTextureInterface* iface) {
  iface->set_id = [](FlTexture* texture, int64_t id) { TEST_TEXTURE(texture)->id = id; };
  iface->get_id = [](FlTexture* texture) { return TEST_TEXTURE(texture)->id; };
}

G_DEFINE_TYPE_WITH_CODE(TestTexture,
                        test_texture,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_texture_get_type(), test_texture_iface_init))

static void test_texture_class_init(TestTextureClass* klass) {}

static void test_texture_init(TestTexture* self) {
  self->id = -1;
}

TEST(FlDartProjectTest, PathsAreBesideTheExecutable) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  g_autofree gchar* exe = g_file_read_link("/proc/self/exe", nullptr);
  ASSERT_NE(exe, nullptr);
  g_autofree gchar* dir = g_path_get_dirname(exe);
  EXPECT_EQ(std::string(fl_dart_project_get_assets_path(project)),
            std::string(dir) + "/data/flutter_assets");
  EXPECT_EQ(std::string(fl_dart_project_get_icu_data_path(project)),
            std::string(dir) + "/data/icudtl.dat");
  EXPECT_EQ(std::string(fl_dart_project_get_aot_library_path(project)),
            std::string(dir) + "/lib/libapp.so");
}

TEST(FlDartProjectTest, EntrypointArgumentsAreCopied) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  EXPECT_EQ(fl_dart_project_get_dart_entrypoint_arguments(project), nullptr);
  gchar* args[] = {g_strdup("--wait"), g_strdup("x"), nullptr};
  fl_dart_project_set_dart_entrypoint_arguments(project, args);
  g_free(args[0]);
  args[0] = g_strdup("changed");
  gchar** stored = fl_dart_project_get_dart_entrypoint_arguments(project);
  ASSERT_NE(stored, nullptr);
  EXPECT_STREQ(stored[0], "--wait");
  EXPECT_STREQ(stored[1], "x");
  EXPECT_EQ(stored[2], nullptr);
  g_free(args[0]);
  g_free(args[1]);
}

TEST(FlEngineTest, RegistrarOfAHeadlessEngineHasNoView) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  g_autoptr(FlEngine) engine = fl_engine_new_headless(project);
  g_autoptr(FlPluginRegistrar) registrar =
      fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(engine), "AnyPlugin");
  ASSERT_NE(registrar, nullptr);
  EXPECT_EQ(fl_plugin_registrar_get_messenger(registrar), fl_engine_get_binary_messenger(engine));
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(registrar),
            fl_engine_get_texture_registrar(engine));
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), nullptr);
}

TEST(FlEngineTest, TexturesGetDistinctIdsUntilUnregistered) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  g_autoptr(FlEngine) engine = fl_engine_new_headless(project);
  FlTextureRegistrar* registrar = fl_engine_get_texture_registrar(engine);
  g_autoptr(TestTexture) a = TEST_TEXTURE(g_object_new(test_texture_get_type(), nullptr));
  g_autoptr(TestTexture) b = TEST_TEXTURE(g_object_new(test_texture_get_type(), nullptr));
  EXPECT_FALSE(fl_texture_registrar_mark_texture_frame_available(registrar, FL_TEXTURE(a)));
  ASSERT_TRUE(fl_texture_registrar_register_texture(registrar, FL_TEXTURE(a)));
  ASSERT_TRUE(fl_texture_registrar_register_texture(registrar, FL_TEXTURE(b)));
  EXPECT_NE(fl_texture_get_id(FL_TEXTURE(a)), fl_texture_get_id(FL_TEXTURE(b)));
  EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(registrar, FL_TEXTURE(a)));
  EXPECT_TRUE(fl_texture_registrar_unregister_texture(registrar, FL_TEXTURE(a)));
  EXPECT_FALSE(fl_texture_registrar_unregister_texture(registrar, FL_TEXTURE(a)));
  EXPECT_FALSE(fl_texture_registrar_mark_texture_frame_available(registrar, FL_TEXTURE(a)));
  EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(registrar, FL_TEXTURE(b)));
}

}  // namespace
