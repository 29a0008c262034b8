#include "flutter_linux/fl_dart_project.h"

#include <gio/gio.h>

struct _FlDartProject {
  GObject parent_instance;

  gchar* aot_library_path;
  gchar* assets_path;
  gchar* icu_data_path;
  // Arguments for the Dart entry point (NULL until set).
  gchar** dart_entrypoint_arguments;
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

// Returns: (transfer full): the directory of the running executable, as a released bundle lays
// out its data and libraries beside it.
static gchar* get_executable_dir() {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* exe_path = g_file_read_link("/proc/self/exe", &error);
  if (exe_path == nullptr) {
    g_printerr("[FlDartProject] cannot read /proc/self/exe: %s\n", error->message);
    return g_get_current_dir();
  }
  return g_path_get_dirname(exe_path);
}

static void fl_dart_project_finalize(GObject* object) {
  FlDartProject* self = FL_DART_PROJECT(object);
  g_clear_pointer(&self->aot_library_path, g_free);
  g_clear_pointer(&self->assets_path, g_free);
  g_clear_pointer(&self->icu_data_path, g_free);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->finalize(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_dart_project_finalize;
}

static void fl_dart_project_init(FlDartProject*) {}

FlDartProject* fl_dart_project_new() {
  FlDartProject* self = FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), nullptr));
  g_autofree gchar* executable_dir = get_executable_dir();
  self->aot_library_path = g_build_filename(executable_dir, "lib", "libapp.so", nullptr);
  self->assets_path = g_build_filename(executable_dir, "data", "flutter_assets", nullptr);
  self->icu_data_path = g_build_filename(executable_dir, "data", "icudtl.dat", nullptr);
  return self;
}

void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* self, char** argv) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  self->dart_entrypoint_arguments = g_strdupv(argv);
}

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->dart_entrypoint_arguments;
}

const gchar* fl_dart_project_get_aot_library_path(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->aot_library_path;
}

const gchar* fl_dart_project_get_assets_path(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->assets_path;
}

const gchar* fl_dart_project_get_icu_data_path(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->icu_data_path;
}
