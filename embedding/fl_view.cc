#include "flutter_linux/fl_view.h"

#include "fl_bridge_messenger.h"
#include "fl_engine_registrar.h"
#include "flutter_linux/fl_plugin_registry.h"

#include "fl_view_private.h"

namespace {

// The in-process stand-in for the Dart UI, when one is registered.
FlViewUiFactory ui_factory = nullptr;

}  // namespace

// Instead of the Dart UI the view shows the application's name and whether it runs on its own or
// under a connected UI, and, in a "Details" area that starts collapsed, what the UI bridge is
// doing: where it listens, whether a UI client is connected and the last events sent to the UI
// with their local time.
struct _FlView {
  GtkBox parent_instance;

  FlEngine* engine;
  // Why the bridge is not listening (NULL when it is).
  gchar* start_error;
  GdkRGBA background;
  gulong state_changed_handler;
  gboolean first_frame_emitted;

  GtkWidget* title_label;
  GtkWidget* state_label;
  GtkWidget* details;
  GtkWidget* details_label;
  GtkWidget* socket_label;
  GtkWidget* client_label;
  GtkWidget* events_label;
};

enum { SIGNAL_FIRST_FRAME, LAST_SIGNAL };
static guint fl_view_signals[LAST_SIGNAL];

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView,
                        fl_view,
                        GTK_TYPE_BOX,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry, const gchar* name) {
  (void)name;
  FlView* self = FL_VIEW(registry);
  return FL_PLUGIN_REGISTRAR(fl_engine_registrar_new(self->engine, self));
}

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

// Text must stay readable on whatever background the application picks.
static const gchar* text_color(FlView* self) {
  double luminance = 0.2126 * self->background.red + 0.7152 * self->background.green +
                     0.0722 * self->background.blue;
  return luminance < 0.5 ? "#e8e8e8" : "#202020";
}

static void set_markup(FlView* self, GtkWidget* label, const gchar* format, ...)
    G_GNUC_PRINTF(3, 4);

static void set_markup(FlView* self, GtkWidget* label, const gchar* format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar* text = g_markup_vprintf_escaped(format, args);
  va_end(args);
  g_autofree gchar* markup =
      g_strdup_printf("<span foreground=\"%s\">%s</span>", text_color(self), text);
  gtk_label_set_markup(GTK_LABEL(label), markup);
}

// The application's name as its window shows it: the window's title, or its header bar's.
static const gchar* application_name(FlView* self) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (GTK_IS_WINDOW(toplevel)) {
    const gchar* title = gtk_window_get_title(GTK_WINDOW(toplevel));
    GtkWidget* titlebar = gtk_window_get_titlebar(GTK_WINDOW(toplevel));
    if (title == nullptr && GTK_IS_HEADER_BAR(titlebar)) {
      title = gtk_header_bar_get_title(GTK_HEADER_BAR(titlebar));
    }
    if (title != nullptr && title[0] != '\0') {
      return title;
    }
  }
  const gchar* name = g_get_application_name();
  return name != nullptr ? name : "Flutter";
}

// Shows the application and the bridge's current state.
static void update_labels(FlView* self) {
  FlBridgeMessenger* messenger = FL_BRIDGE_MESSENGER(fl_engine_get_binary_messenger(self->engine));
  const gchar* path = fl_bridge_messenger_get_socket_path(messenger);
  const gboolean has_client = fl_bridge_messenger_has_client(messenger);
  set_markup(self, self->title_label, "%s", application_name(self));
  set_markup(self, self->state_label, "%s",
             has_client        ? "Running, controlled by a connected app"
             : path != nullptr ? "Running"
                               : "Running; other apps cannot connect to it (see Details)");
  set_markup(self, self->details_label, "%s", "Details");
  // Paths are file names, not text: shown in their display form, so that a name that is not
  // UTF-8 reads as a name instead of upsetting the text layout.
  if (path != nullptr) {
    g_autofree gchar* shown = g_filename_display_name(path);
    set_markup(self, self->socket_label, "UI bridge: %s", shown);
  } else {
    g_autofree gchar* reason =
        g_utf8_make_valid(self->start_error != nullptr ? self->start_error : "not started", -1);
    set_markup(self, self->socket_label, "UI bridge: not listening (%s)", reason);
  }
  set_markup(self, self->client_label, "UI client: %s", has_client ? "connected" : "none");
  GPtrArray* events = fl_bridge_messenger_get_recent_events(messenger);
  g_autoptr(GString) text = g_string_new("Recent events:");
  if (events->len == 0) {
    g_string_append(text, "\n  (none)");
  }
  for (guint i = 0; i < events->len; i++) {
    g_string_append_printf(text, "\n  %s", static_cast<const gchar*>(g_ptr_array_index(events, i)));
  }
  set_markup(self, self->events_label, "%s", text->str);
}

static void state_changed_cb(FlBridgeMessenger* messenger, gpointer user_data) {
  (void)messenger;
  update_labels(FL_VIEW(user_data));
}

static gboolean emit_first_frame_cb(gpointer user_data) {
  FlView* self = FL_VIEW(user_data);
  g_signal_emit(self, fl_view_signals[SIGNAL_FIRST_FRAME], 0);
  return G_SOURCE_REMOVE;
}

// The first "frame" is ready as soon as the widget exists on screen-side: the window may wait
// for this signal before it shows itself, so it must not depend on being drawn.
static void fl_view_realize(GtkWidget* widget) {
  FlView* self = FL_VIEW(widget);
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  if (!self->first_frame_emitted) {
    self->first_frame_emitted = TRUE;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, emit_first_frame_cb, g_object_ref(self),
                    g_object_unref);
  }
}

// The heading names the window the view is put in.
static void fl_view_hierarchy_changed(GtkWidget* widget, GtkWidget* previous_toplevel) {
  if (GTK_WIDGET_CLASS(fl_view_parent_class)->hierarchy_changed != nullptr) {
    GTK_WIDGET_CLASS(fl_view_parent_class)->hierarchy_changed(widget, previous_toplevel);
  }
  FlView* self = FL_VIEW(widget);
  if (self->engine != nullptr) {
    update_labels(self);
  }
}

static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  gdk_cairo_set_source_rgba(cr, &self->background);
  cairo_paint(cr);
  return GTK_WIDGET_CLASS(fl_view_parent_class)->draw(widget, cr);
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  if (self->engine != nullptr && self->state_changed_handler != 0) {
    g_signal_handler_disconnect(fl_engine_get_binary_messenger(self->engine),
                                self->state_changed_handler);
    self->state_changed_handler = 0;
  }
  g_clear_object(&self->engine);
  g_clear_pointer(&self->start_error, g_free);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
  GTK_WIDGET_CLASS(klass)->hierarchy_changed = fl_view_hierarchy_changed;
  fl_view_signals[SIGNAL_FIRST_FRAME] =
      g_signal_new("first-frame", fl_view_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                   nullptr, G_TYPE_NONE, 0);
}

static GtkWidget* new_label() {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  // Text to read and copy, not a stop for Tab on the way to the UI's controls.
  gtk_widget_set_can_focus(label, FALSE);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_widget_show(label);
  return label;
}

// Margins rather than a border width, so the background is painted edge to edge.
static GtkWidget* add_row(FlView* self, GtkWidget* widget) {
  gtk_widget_set_margin_start(widget, 24);
  gtk_widget_set_margin_end(widget, 24);
  gtk_widget_set_margin_top(widget, self->title_label == nullptr ? 24 : 0);
  gtk_box_pack_start(GTK_BOX(self), widget, FALSE, FALSE, 0);
  return widget;
}

static void fl_view_init(FlView* self) {
  gtk_orientable_set_orientation(GTK_ORIENTABLE(self), GTK_ORIENTATION_VERTICAL);
  gtk_box_set_spacing(GTK_BOX(self), 12);
  gtk_widget_set_app_paintable(GTK_WIDGET(self), TRUE);
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
  gdk_rgba_parse(&self->background, "#000000");

  GtkWidget* title = add_row(self, new_label());
  self->title_label = title;
  // A heading, not text to copy: a selectable one takes the focus the view is given and
  // selects itself, and under openbox the window then ignored an early request to minimise.
  gtk_label_set_selectable(GTK_LABEL(title), FALSE);
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  pango_attr_list_insert(attributes, pango_attr_scale_new(1.4));
  gtk_label_set_attributes(GTK_LABEL(title), attributes);
  pango_attr_list_unref(attributes);
  self->state_label = add_row(self, new_label());

  // What a developer looks for, out of the way until asked for.
  self->details = gtk_expander_new(nullptr);
  self->details_label = gtk_label_new(nullptr);
  gtk_widget_show(self->details_label);
  gtk_expander_set_label_widget(GTK_EXPANDER(self->details), self->details_label);
  GtkWidget* details_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_top(details_box, 8);
  gtk_widget_set_margin_bottom(details_box, 24);
  self->socket_label = new_label();
  self->client_label = new_label();
  self->events_label = new_label();
  gtk_box_pack_start(GTK_BOX(details_box), self->socket_label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(details_box), self->client_label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(details_box), self->events_label, FALSE, FALSE, 0);
  gtk_widget_show(details_box);
  gtk_container_add(GTK_CONTAINER(self->details), details_box);
  gtk_widget_show(self->details);
  add_row(self, self->details);
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  FlView* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->engine = fl_engine_new(project);
  g_autoptr(GError) error = nullptr;
  if (!fl_engine_start(self->engine, &error)) {
    self->start_error = g_strdup(error->message);
  }
  self->state_changed_handler =
      g_signal_connect(fl_engine_get_binary_messenger(self->engine), "state-changed",
                       G_CALLBACK(state_changed_cb), self);
  update_labels(self);
  // The stand-in for the Dart UI, below the application's state and above the details. It
  // works in-process, so it is there even when the bridge could not start.
  GtkWidget* panel =
      ui_factory != nullptr
          ? ui_factory(FL_BRIDGE_MESSENGER(fl_engine_get_binary_messenger(self->engine)))
          : nullptr;
  if (panel != nullptr) {
    // The in-process UI's own widgets take the keyboard: a view that took focus itself would
    // keep Tab from ever reaching them.
    gtk_widget_set_can_focus(GTK_WIDGET(self), FALSE);
    gtk_box_pack_start(GTK_BOX(self), panel, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(self), panel, 2);
  }
  // Said after the stand-in has had its look: it may end a launch that finds another host
  // holding the bridge, which then has nothing to complain about.
  if (self->start_error != nullptr) {
    g_printerr("[UI bridge] not listening: %s\n", self->start_error);
  }
  return self;
}

void fl_view_set_ui_factory(FlViewUiFactory factory) {
  ui_factory = factory;
}

FlEngine* fl_view_get_engine(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), nullptr);
  return self->engine;
}

void fl_view_set_background_color(FlView* self, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != nullptr);
  self->background = *color;
  update_labels(self);
  gtk_widget_queue_draw(GTK_WIDGET(self));
}
