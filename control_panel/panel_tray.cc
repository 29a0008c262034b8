#include "control_panel/panel_tray.h"

#include <libayatana-appindicator/app-indicator.h>

#include <memory>

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kDefaultId[] = "com.quorandel.korvane";
constexpr int kBusTimeoutMs = 2000;

// One look per state; "error" is a failed last action with nothing running.
struct Look {
  const char* state;
  const char* icon;
  const char* title;
};
constexpr Look kLooks[] = {
    {"disconnected", "network-vpn-disconnected", "Korvane: disconnected"},
    {"connecting", "network-vpn-acquiring", "Korvane: connecting"},
    {"connected", "network-vpn", "Korvane: connected"},
    {"disconnecting", "network-vpn-acquiring", "Korvane: disconnecting"},
    {"error", "network-error", "Korvane: error"},
    {"unknown", "network-vpn-disconnected", "Korvane: driven by another UI"},
};

const Look& LookOf(const std::string& state) {
  for (const Look& look : kLooks) {
    if (state == look.state) {
      return look;
    }
  }
  return kLooks[sizeof(kLooks) / sizeof(kLooks[0]) - 1];
}

GtkWidget* AddItem(GtkWidget* menu, const char* label) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  gtk_widget_show(item);
  return item;
}

template <typename Function>
void OnActivate(GtkWidget* item, Function* function) {
  g_signal_connect_swapped(item, "activate", G_CALLBACK(+[](gpointer data) {
                             const auto* action = static_cast<Function*>(data);
                             if (*action) {
                               (*action)();
                             }
                           }),
                           function);
}

}  // namespace

std::unique_ptr<PanelTray> PanelTray::Create(Actions actions) {
  // The library reports a missing bus with warnings of its own; without a bus there is no tray
  // to show the item anyway.
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    return nullptr;
  }
  return std::make_unique<PanelTray>(std::move(actions));
}

bool PanelTray::WatcherPresent() {
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) {
    return false;
  }
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      kBusTimeoutMs, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) {
    g_variant_get(reply, "(b)", &owned);
  }
  return owned;
}

PanelTray::PanelTray(Actions actions) : actions_(std::move(actions)) {
  GApplication* application = g_application_get_default();
  const gchar* id =
      application != nullptr ? g_application_get_application_id(application) : nullptr;
  indicator_ = app_indicator_new(id != nullptr ? id : kDefaultId, LookOf(state_).icon,
                                 APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  menu_ = gtk_menu_new();
  g_object_ref_sink(menu_);
  toggle_item_ = AddItem(menu_, "Connect");
  OnActivate(toggle_item_, &actions_.toggle);
  node_item_ = AddItem(menu_, "");
  gtk_widget_set_sensitive(node_item_, FALSE);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), gtk_separator_menu_item_new());
  OnActivate(AddItem(menu_, "Show window"), &actions_.show_window);
  GtkWidget* quit = AddItem(menu_, "Quit");
  // Through the application, so its shut-down runs: the engine stops and the desktop proxy is
  // put back.
  g_signal_connect(quit, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer) {
                     g_print("[Panel] tray: quit\n");
                     GApplication* app = g_application_get_default();
                     if (app != nullptr) {
                       g_application_quit(app);
                     }
                   }),
                   nullptr);
  gtk_widget_show_all(menu_);
  app_indicator_set_menu(indicator_, GTK_MENU(menu_));
  Update();
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

PanelTray::~PanelTray() {
  // Passive first: the item leaves the tray even if a reference outlives us.
  app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
  g_clear_object(&indicator_);
  if (menu_ != nullptr) {
    gtk_widget_destroy(menu_);
    g_clear_object(&menu_);
  }
}

void PanelTray::SetState(const std::string& state) {
  state_ = state;
  if (state != "connected") {
    node_.clear();
  }
  Update();
}

void PanelTray::SetError(const std::string& error) {
  error_ = error;
  Update();
}

void PanelTray::SetNode(const std::string& node) {
  node_ = state_ == "connected" ? node : "";
  Update();
}

void PanelTray::SetUsable(bool usable) {
  usable_ = usable;
  Update();
}

void PanelTray::Update() {
  const bool running = state_ == "connected" || state_ == "connecting";
  const std::string look_state = state_ == "disconnected" && !error_.empty() ? "error" : state_;
  const Look& look = LookOf(look_state);
  std::string title = look.title;
  if (look_state == "error") {
    title += " (" + error_ + ")";
  }
  gtk_menu_item_set_label(GTK_MENU_ITEM(toggle_item_), running ? "Disconnect" : "Connect");
  gtk_widget_set_sensitive(toggle_item_,
                           usable_ && state_ != "disconnecting" && state_ != "unknown");
  const std::string node_text = "Node: " + node_;
  gtk_menu_item_set_label(GTK_MENU_ITEM(node_item_), node_text.c_str());
  gtk_widget_set_visible(node_item_, !node_.empty());

  const std::string shown = std::string(look.icon) + "\n" + title;
  if (shown == shown_) {
    return;
  }
  shown_ = shown;
  app_indicator_set_icon_full(indicator_, look.icon, title.c_str());
  app_indicator_set_title(indicator_, title.c_str());
  g_print("[Panel] tray: %s (%s)\n", look_state.c_str(), look.icon);
}
