// The GTK application: one main window embedding the Flutter view, the plug-ins and the VPN
// controller. Everything here runs on the GLib main thread.

#include "app/my_application.h"

#include <flutter_linux/flutter_linux.h>
#include <glib-unix.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "app/generated_plugin_registrant.h"
#include "base/log.h"
#include "base/logger.h"
#include "vpn/vpn_manager.h"

namespace {

constexpr korvane::Logger kLog(korvane::kKorvaneTag);

constexpr char kApplicationId[] = "com.quorandel.korvane";
constexpr char kWindowTitle[] = "Korvane";
constexpr char kGnomeShell[] = "GNOME Shell";
constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 800;
// Whoever owns this name on the session bus shows tray icons, so a hidden window can be
// brought back from one.
constexpr char kTrayWatcherName[] = "org.kde.StatusNotifierWatcher";

}  // namespace

struct _MyApplication {
  GtkApplication parent_instance;
  // Arguments after the program name, handed to the Dart entry point. Owned.
  char** dart_entrypoint_arguments;
  // The main window, created on first activation; not owned, cleared when it is destroyed.
  GtkWindow* main_window;
  // Watch of the tray watcher's name (0 when none) and whether it has an owner now.
  guint tray_watch;
  gboolean tray_present;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

// Called when the main window is destroyed: forget it if it is still the remembered one.
static void main_window_destroy_cb(GtkWidget* widget, gpointer user_data) {
  MyApplication* self = MY_APPLICATION(user_data);
  if (self->main_window == GTK_WINDOW(widget)) {
    self->main_window = nullptr;
  }
}

// Called when the user closes the window. With a tray to bring it back, hide it; the process
// and the VPN keep running. Without one a hidden window could never be shown again, so quit
// through the normal shut-down (the engine stops, the desktop proxy is switched off).
static gboolean main_window_delete_event_cb(GtkWidget* widget, GdkEvent*, gpointer user_data) {
  MyApplication* self = MY_APPLICATION(user_data);
  gtk_widget_hide(widget);
  if (self->tray_present) {
    kLog.Info() << "Main window close requested; hiding to tray.";
    return TRUE;
  }
  kLog.Info() << "Main window close requested; no tray to bring it back, quitting.";
  g_application_quit(G_APPLICATION(self));
  return TRUE;
}

static void tray_appeared_cb(GDBusConnection*, const gchar*, const gchar*, gpointer user_data) {
  MY_APPLICATION(user_data)->tray_present = TRUE;
}

static void tray_vanished_cb(GDBusConnection*, const gchar*, gpointer user_data) {
  MY_APPLICATION(user_data)->tray_present = FALSE;
}

// Called on SIGTERM, SIGINT or SIGHUP: quit through the normal shut-down, so the engine stops
// and the desktop proxy is switched off instead of pointing at a dead port.
static gboolean quit_signal_cb(gpointer user_data) {
  g_application_quit(G_APPLICATION(user_data));
  return G_SOURCE_CONTINUE;
}

// True when the window should carry a plain title: on X11 under a window manager that is not
// GNOME Shell. Everywhere else a header bar is used.
static gboolean use_plain_title(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkScreen* screen = gtk_window_get_screen(window);
  if (GDK_IS_X11_SCREEN(screen)) {
    const gchar* wm_name = gdk_x11_screen_get_window_manager_name(screen);
    return g_strcmp0(wm_name, kGnomeShell) != 0;
  }
#endif
  return FALSE;
}

static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  if (self->main_window != nullptr) {
    gtk_widget_show(GTK_WIDGET(self->main_window));
    gtk_window_present(self->main_window);
    return;
  }

  GtkWindow* window = GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));
  self->main_window = window;
  g_signal_connect(window, "destroy", G_CALLBACK(main_window_destroy_cb), self);

  if (use_plain_title(window)) {
    gtk_window_set_title(window, kWindowTitle);
  } else {
    GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
    gtk_widget_show(GTK_WIDGET(header_bar));
    gtk_header_bar_set_title(header_bar, kWindowTitle);
    gtk_header_bar_set_show_close_button(header_bar, TRUE);
    gtk_window_set_titlebar(window, GTK_WIDGET(header_bar));
  }

  gtk_window_set_default_size(window, kDefaultWidth, kDefaultHeight);
  gtk_widget_show(GTK_WIDGET(window));

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, self->dart_entrypoint_arguments);
  FlView* view = fl_view_new(project);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

  fl_register_plugins(FL_PLUGIN_REGISTRY(view));

  g_signal_connect(window, "delete-event", G_CALLBACK(main_window_delete_event_cb), self);

  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view));
  initialize_vpn_manager(messenger);

  gtk_widget_grab_focus(GTK_WIDGET(view));
  gtk_window_present(window);
}

static gboolean my_application_local_command_line(GApplication* application,
                                                  gchar*** arguments,
                                                  int* exit_status) {
  MyApplication* self = MY_APPLICATION(application);
  g_strfreev(self->dart_entrypoint_arguments);
  self->dart_entrypoint_arguments = g_strdupv(*arguments + 1);

  g_autoptr(GError) error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    g_warning("Failed to register: %s", error->message);
    *exit_status = 1;
    return TRUE;
  }
  g_application_activate(application);
  *exit_status = 0;
  return TRUE;
}

static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
  g_unix_signal_add(SIGTERM, quit_signal_cb, application);
  g_unix_signal_add(SIGINT, quit_signal_cb, application);
  g_unix_signal_add(SIGHUP, quit_signal_cb, application);
  // Followed from the start, so that a close never waits on the bus. Without a session bus
  // the name counts as absent. The application's registration has just connected (or failed
  // to connect) to the same bus, so this reuses that connection instead of opening one from a
  // worker thread.
  MyApplication* self = MY_APPLICATION(application);
  g_autoptr(GDBusConnection) session_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (session_bus != nullptr) {
    self->tray_watch =
        g_bus_watch_name_on_connection(session_bus, kTrayWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                       tray_appeared_cb, tray_vanished_cb, self, nullptr);
  }
}

static void my_application_shutdown(GApplication* application) {
  g_clear_handle_id(&MY_APPLICATION(application)->tray_watch, g_bus_unwatch_name);
  VPNManager::Shutdown();
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  self->main_window = nullptr;
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->local_command_line = my_application_local_command_line;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
}

static void my_application_init(MyApplication*) {}

MyApplication* my_application_new() {
  g_set_prgname(kApplicationId);
  return MY_APPLICATION(g_object_new(my_application_get_type(), "application-id", kApplicationId,
                                     "flags", G_APPLICATION_NON_UNIQUE, nullptr));
}
