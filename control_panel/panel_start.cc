#include "control_panel/panel_start.h"

#include <string>

#include "control_panel/panel_autostart.h"
#include "control_panel/panel_settings.h"
#include "control_panel/panel_tray.h"

namespace {

constexpr char kDefaultId[] = "com.quorandel.korvane";

enum class Hold { kUndecided, kHolding, kReleased };
Hold hold_ = Hold::kUndecided;
GtkWidget* held_window_ = nullptr;
bool (*panel_enabled_)() = nullptr;

std::string ApplicationId() {
  GApplication* application = g_application_get_default();
  const gchar* id =
      application != nullptr ? g_application_get_application_id(application) : nullptr;
  return id != nullptr ? id : kDefaultId;
}

bool MinimizedWanted() {
  return PanelSettings::GetBool(PanelStart::kMinimizedKey) ||
         g_strcmp0(g_getenv(PanelAutostart::kMinimizedVariable), "1") == 0;
}

bool ShouldHold(GtkWidget* window) {
  if (hold_ == Hold::kUndecided) {
    hold_ = Hold::kReleased;
    if (MinimizedWanted() && panel_enabled_ != nullptr && panel_enabled_()) {
      if (!PanelTray::WatcherPresent()) {
        g_print("[Panel] window: shown, no tray to start minimised in\n");
        return false;
      }
      hold_ = Hold::kHolding;
      held_window_ = window;
      g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&held_window_));
      g_print("[Panel] window: started minimised to the tray\n");
      // The application shows and presents its window during its activation; whatever shows
      // it after that is someone asking for it.
      g_idle_add(
          +[](gpointer) -> gboolean {
            hold_ = Hold::kReleased;
            if (held_window_ != nullptr) {
              g_object_remove_weak_pointer(G_OBJECT(held_window_),
                                           reinterpret_cast<gpointer*>(&held_window_));
              held_window_ = nullptr;
            }
            return G_SOURCE_REMOVE;
          },
          nullptr);
    }
  }
  return hold_ == Hold::kHolding && window == held_window_;
}

// Replaces the window class's "show" handler: never mapped is never seen, not even for a frame.
void ShowCb(GtkWidget* window) {
  if (ShouldHold(window)) {
    // Made but not mapped: presenting a window reaches for its display window.
    gtk_widget_realize(window);
    return;
  }
  g_signal_chain_from_overridden_handler(window);
}

GtkWidget* NewCheck(const char* mnemonic, bool active) {
  GtkWidget* check = gtk_check_button_new_with_mnemonic(mnemonic);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), active);
  return check;
}

bool WriteAutostart(bool minimized) {
  const std::string id = ApplicationId();
  const std::string executable = PanelAutostart::RunningExecutable();
  if (PanelAutostart::Enable(id, executable, minimized)) {
    g_print("[Panel] start at login: on (%s)\n", PanelAutostart::Path(id).c_str());
    return true;
  }
  g_print("[Panel] start at login: could not be set up\n");
  return false;
}

// Called when "Start at login" is toggled. A failure puts the check back to what is on disk.
void LoginToggledCb(GtkToggleButton* check, gpointer) {
  const std::string id = ApplicationId();
  if (gtk_toggle_button_get_active(check)) {
    WriteAutostart(PanelSettings::GetBool(PanelStart::kMinimizedKey));
  } else if (PanelAutostart::Disable(id)) {
    g_print("[Panel] start at login: off\n");
  } else {
    g_print("[Panel] start at login: could not be removed\n");
  }
  const bool enabled = PanelAutostart::IsEnabled(id);
  if (gtk_toggle_button_get_active(check) != enabled) {
    g_signal_handlers_block_by_func(check, reinterpret_cast<gpointer>(LoginToggledCb), nullptr);
    gtk_toggle_button_set_active(check, enabled);
    g_signal_handlers_unblock_by_func(check, reinterpret_cast<gpointer>(LoginToggledCb), nullptr);
  }
}

}  // namespace

void PanelStart::InstallGate(bool (*panel_enabled)()) {
  if (panel_enabled_ != nullptr) {
    return;
  }
  panel_enabled_ = panel_enabled;
  // Signals are looked up in an initialised class; nothing here needs the display.
  g_type_class_unref(g_type_class_ref(GTK_TYPE_APPLICATION_WINDOW));
  g_signal_override_class_handler("show", GTK_TYPE_APPLICATION_WINDOW, G_CALLBACK(ShowCb));
}

GtkWidget* PanelStart::NewOptions() {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  GtkWidget* minimized = NewCheck("Start _minimised", PanelSettings::GetBool(kMinimizedKey));
  GtkWidget* login = NewCheck("Start _at login", PanelAutostart::IsEnabled(ApplicationId()));
  gtk_box_pack_start(GTK_BOX(row), minimized, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), login, FALSE, FALSE, 0);
  g_signal_connect(minimized, "toggled", G_CALLBACK(+[](GtkToggleButton* check, gpointer) {
                     const bool on = gtk_toggle_button_get_active(check);
                     PanelSettings::SetBool(kMinimizedKey, on);
                     g_print("[Panel] start minimised: %s\n", on ? "on" : "off");
                     // An entry of an earlier choice starts the way the panel now says.
                     if (PanelAutostart::IsEnabled(ApplicationId())) {
                       WriteAutostart(on);
                     }
                   }),
                   nullptr);
  g_signal_connect(login, "toggled", G_CALLBACK(LoginToggledCb), nullptr);
  return row;
}
