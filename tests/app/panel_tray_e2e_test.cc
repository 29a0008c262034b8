// The control panel's tray item in the real korvane, seen from a tray of the test's own on a
// private session bus (TrayWatcher): the item registers, its icon and title follow the
// connection, and its menu (driven over com.canonical.dbusmenu as a desktop's tray drives it)
// connects and disconnects with the panel's configuration, shows the node in use, brings the
// window back and quits through the application's shut-down. Start minimised keeps the window
// from ever being made where a tray is, and shows it where none is; start at login writes and
// removes the desktop's autostart entry.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/app/host_windows.h"
#include "tests/app/panel_driver.h"
#include "tests/app/private_session_bus.h"
#include "tests/app/tray_watcher.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/shell_command.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

constexpr int kTimeoutMs = 60000;
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";
constexpr char kAppId[] = "com.quorandel.korvane";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// One entry of the item's menu as the tray reads it.
struct MenuEntry {
  int id = 0;
  std::string label;
  bool visible = true;
  bool enabled = true;
};

class PanelTrayE2ETest : public ::testing::Test {
 protected:
  // Starts the host with its panel; with |bus| on a private session bus, where with |watcher|
  // the test's tray is waiting. |start_minimized| is the panel's saved setting. With
  // |watch_maps|, the display has no window manager but a record of every window mapped on it
  // (map_watch), from before the host starts.
  void StartHost(bool bus, bool watcher, bool start_minimized = false, bool watch_maps = false) {
    std::string error;
    HostOptions options;
    options.control_panel = true;
    if (watch_maps) {
      const std::string ready = host_.dir() + "/map-watch-ready";
      options.window_manager = ShellQuote(KORVANE_MAP_WATCH) + " " + ShellQuote(ready);
      options.wait_for_window_manager = false;
      options.wait_for_path = ready;
    }
    options.env = {{"GSETTINGS_BACKEND", "keyfile"}, {"XDG_CURRENT_DESKTOP", "GNOME"}};
    if (bus) {
      ASSERT_TRUE(bus_.Start(host_.dir(), &error)) << error;
      options.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    }
    if (watcher) {
      ASSERT_TRUE(watcher_.Start(bus_.address(), &error)) << error;
    }
    if (start_minimized) {
      const std::string dir = host_.config_home() + "/korvane";
      ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0700), 0);
      WriteFile(dir + "/panel.ini", "[panel]\nstart-minimized=true\n");
    }
    ASSERT_TRUE(host_.Start(options, &error)) << error;
  }

  // Waits for the item to register with the test's tray.
  void WaitForItem() {
    ASSERT_TRUE(watcher_.WaitForItem(kTimeoutMs, &item_))
        << "no tray item registered\n"
        << PanelDriver::PanelLines(host_.Stdout()) << host_.Stderr();
  }

  GVariant* Call(const std::string& bus_name,
                 const std::string& path,
                 const char* interface,
                 const char* method,
                 GVariant* args,
                 const char* reply_type) {
    g_autoptr(GError) error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        watcher_.connection(), bus_name.c_str(), path.c_str(), interface, method, args,
        G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr, &error);
    EXPECT_NE(reply, nullptr) << method << ": " << (error != nullptr ? error->message : "");
    return reply;
  }

  // A property of the item ("" when it is not a string or an object path).
  std::string ItemProperty(const char* name) {
    g_autoptr(GVariant) reply = Call(item_.bus_name, item_.path, "org.freedesktop.DBus.Properties",
                                     "Get", g_variant_new("(ss)", kItemInterface, name), "(v)");
    if (reply == nullptr) {
      return "";
    }
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    return g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
                   g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)
               ? g_variant_get_string(value, nullptr)
               : "";
  }

  // Waits until the item's property is |expected|.
  bool WaitForItemProperty(const char* name, const std::string& expected) {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    while (ItemProperty(name) != expected && g_get_monotonic_time() < deadline) {
      g_usleep(50 * 1000);
    }
    return ItemProperty(name) == expected;
  }

  // The menu's entries, in order (the top level; the item's menu has no submenus).
  std::vector<MenuEntry> Menu() {
    std::vector<MenuEntry> entries;
    const std::string path = ItemProperty("Menu");
    EXPECT_FALSE(path.empty());
    if (path.empty()) {
      return entries;
    }
    const gchar* const no_properties[] = {nullptr};
    g_autoptr(GVariant) reply =
        Call(item_.bus_name, path, kMenuInterface, "GetLayout",
             g_variant_new("(ii^as)", 0, -1, no_properties), "(u(ia{sv}av))");
    if (reply == nullptr) {
      return entries;
    }
    g_autoptr(GVariant) root = g_variant_get_child_value(reply, 1);
    g_autoptr(GVariant) children = g_variant_get_child_value(root, 2);
    for (gsize i = 0; i < g_variant_n_children(children); i++) {
      g_autoptr(GVariant) boxed = g_variant_get_child_value(children, i);
      g_autoptr(GVariant) child = g_variant_get_variant(boxed);
      MenuEntry entry;
      g_autoptr(GVariant) properties = nullptr;
      g_variant_get(child, "(i@a{sv}av)", &entry.id, &properties, nullptr);
      const gchar* label = nullptr;
      if (g_variant_lookup(properties, "label", "&s", &label)) {
        entry.label = label;
      }
      gboolean flag = TRUE;
      entry.visible = !g_variant_lookup(properties, "visible", "b", &flag) || flag;
      flag = TRUE;
      entry.enabled = !g_variant_lookup(properties, "enabled", "b", &flag) || flag;
      entries.push_back(entry);
    }
    return entries;
  }

  static std::string Describe(const std::vector<MenuEntry>& menu) {
    std::string text;
    for (const MenuEntry& entry : menu) {
      text += "[" + entry.label + (entry.visible ? "" : " hidden") +
              (entry.enabled ? "" : " disabled") + "] ";
    }
    return text;
  }

  // Waits for a visible entry whose label begins with |prefix|, enabled or (for a label that
  // only informs) not; its label, or "".
  std::string WaitForEntry(const std::string& prefix,
                           MenuEntry* found = nullptr,
                           bool enabled = true) {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    std::vector<MenuEntry> menu;
    while (g_get_monotonic_time() < deadline) {
      menu = Menu();
      for (const MenuEntry& entry : menu) {
        if (entry.visible && entry.enabled == enabled && entry.label.rfind(prefix, 0) == 0) {
          if (found != nullptr) {
            *found = entry;
          }
          return entry.label;
        }
      }
      g_usleep(50 * 1000);
    }
    ADD_FAILURE() << "no menu entry \"" << prefix << "\"; the menu: " << Describe(menu);
    return "";
  }

  // Clicks the entry labelled |label| as a tray does.
  void Click(const std::string& label) {
    MenuEntry entry;
    ASSERT_EQ(WaitForEntry(label, &entry), label);
    g_autoptr(GVariant) reply =
        Call(item_.bus_name, ItemProperty("Menu"), kMenuInterface, "Event",
             g_variant_new("(isvu)", entry.id, "clicked", g_variant_new_int32(0), 0u), "()");
  }

  std::string ProxyMode() {
    std::string mode =
        host_.OutputWithHostEnvironment({"gsettings", "get", "org.gnome.system.proxy", "mode"});
    return mode.substr(0, mode.find_last_not_of('\n') + 1);
  }

  // Whether map_watch saw the window with xdotool's |id| mapped.
  bool SeenMapped(const std::string& id) {
    g_autofree gchar* line = g_strdup_printf("map 0x%lx\n", std::stoul(id));
    return ReadFile(host_.dir() + "/wm.log").find(line) != std::string::npos;
  }

  // The window titled as the host's, mapped or not ("" when there is none).
  std::string HostWindowId() {
    std::istringstream ids(
        host_.OutputWithHostEnvironment({"xdotool", "search", "--name", "^Korvane$"}));
    std::string id;
    ids >> id;
    return id;
  }

  // examples/mixed.json on free ports, written for the panel to connect with.
  std::string WriteConfiguration() {
    const char* source = getenv("KORVANE_SOURCE_DIR");
    EXPECT_NE(source, nullptr);
    std::string config = ReadFile(std::string(source) + "/examples/mixed.json");
    EXPECT_NE(config.find("\"listen_port\": 2080"), std::string::npos);
    mixed_port_ = FreePort();
    const int controller_port = FreePort();
    config = ReplaceAll(config, "\"listen_port\": 2080",
                        "\"listen_port\": " + std::to_string(mixed_port_));
    config = ReplaceAll(config, "127.0.0.1:9090", "127.0.0.1:" + std::to_string(controller_port));
    config = ReplaceAll(config, "\"korvane-engine.log\"", "\"" + host_.dir() + "/engine.log\"");
    const std::string path = host_.dir() + "/mixed.json";
    WriteFile(path, config);
    return path;
  }

  // Declared first, so they outlive the host on them.
  PrivateSessionBus bus_;
  TrayWatcher watcher_;
  HostFixture host_;
  TrayWatcher::Item item_;
  int mixed_port_ = 0;
};

TEST_F(PanelTrayE2ETest, MenuConnectsDisconnectsShowsTheWindowAndQuits) {
  ASSERT_NO_FATAL_FAILURE(StartHost(/*bus=*/true, /*watcher=*/true));
  ASSERT_NO_FATAL_FAILURE(WaitForItem());
  PanelDriver panel(&host_);
  ASSERT_TRUE(panel.FindWindow());
  ASSERT_TRUE(panel.Expect("state: disconnected"));
  EXPECT_EQ(ItemProperty("Status"), "Active");
  EXPECT_EQ(ItemProperty("IconName"), "network-vpn-disconnected");
  EXPECT_EQ(ItemProperty("Title"), "Korvane: disconnected");
  std::vector<MenuEntry> menu = Menu();
  ASSERT_EQ(menu.size(), 5u) << Describe(menu);
  EXPECT_EQ(menu[0].label, "Connect");
  EXPECT_FALSE(menu[1].visible) << "a node shown while disconnected: " << menu[1].label;
  EXPECT_EQ(menu[3].label, "Show window");
  EXPECT_EQ(menu[4].label, "Quit");

  // The configuration is the one the panel shows; then the window goes to the tray.
  const std::string config = WriteConfiguration();
  panel.Keys({"alt+f", "ctrl+a", "BackSpace"});
  panel.Type(config);
  const std::string window = FindHostWindow(host_, kTimeoutMs);
  ASSERT_FALSE(window.empty());
  int status = -1;
  std::string output = host_.OutputWithHostEnvironment({KORVANE_SEND_WM_DELETE, window}, &status);
  ASSERT_EQ(status, 0) << output;
  ASSERT_TRUE(WaitForMapState(host_, window, "IsUnMapped", kTimeoutMs));

  Click("Connect");
  ASSERT_TRUE(panel.Expect("state: connected"));
  EXPECT_TRUE(WaitForItemProperty("IconName", "network-vpn"));
  EXPECT_EQ(ItemProperty("Title"), "Korvane: connected");
  EXPECT_TRUE(IsListening(mixed_port_));
  // The node the panel shows, the selector's choice resolved through its automatic group.
  const std::string selected = panel.ExpectValueWhere(
      "selected node: ", [](const std::string& value) { return value.rfind("direct", 0) == 0; });
  const std::string node = selected.substr(0, selected.find(" ("));
  ASSERT_FALSE(node.empty());
  EXPECT_EQ(WaitForEntry("Node: ", nullptr, /*enabled=*/false), "Node: " + node);
  EXPECT_EQ(ProxyMode(), "'manual'");

  Click("Disconnect");
  ASSERT_TRUE(panel.Expect("state: disconnected"));
  EXPECT_TRUE(WaitForItemProperty("IconName", "network-vpn-disconnected"));
  EXPECT_FALSE(IsListening(mixed_port_));
  menu = Menu();
  ASSERT_EQ(menu.size(), 5u) << Describe(menu);
  EXPECT_EQ(menu[0].label, "Connect");
  EXPECT_FALSE(menu[1].visible) << menu[1].label;

  Click("Show window");
  EXPECT_TRUE(WaitForMapState(host_, window, "IsViewable", kTimeoutMs))
      << WindowMapState(host_, window);

  // Quitting from the tray while connected ends the host as log-out would: the desktop proxy
  // is put back.
  Click("Connect");
  ASSERT_TRUE(panel.Expect("state: connected"));
  EXPECT_EQ(ProxyMode(), "'manual'");
  Click("Quit");
  const int exit_status = host_.WaitForHostExit(kTimeoutMs);
  EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0)
      << exit_status << host_.Stderr();
  EXPECT_EQ(ProxyMode(), "'none'");
  EXPECT_FALSE(IsListening(mixed_port_));
  EXPECT_NE(host_.Stdout().find("VPN disconnected successfully\n"), std::string::npos);
}

struct StartCase {
  const char* name;
  bool bus;
  bool watcher;
  bool minimized;
};

std::ostream& operator<<(std::ostream& out, const StartCase& c) {
  return out << c.name;
}

class PanelTrayStartE2ETest : public PanelTrayE2ETest,
                              public ::testing::WithParamInterface<StartCase> {};

TEST_P(PanelTrayStartE2ETest, StartsMinimisedOnlyWhereATrayCanBringTheWindowBack) {
  const StartCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(
      StartHost(c.bus, c.watcher, /*start_minimized=*/true, /*watch_maps=*/c.minimized));
  PanelDriver panel(&host_);
  if (c.minimized) {
    ASSERT_NO_FATAL_FAILURE(WaitForItem());
    ASSERT_TRUE(panel.Expect("window: started minimised to the tray"));
    ASSERT_TRUE(panel.Expect("state: disconnected"));
    // Made, never mapped, not even for a moment.
    const std::string window = HostWindowId();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(WindowMapState(host_, window), "IsUnMapped");
    EXPECT_FALSE(SeenMapped(window)) << ReadFile(host_.dir() + "/wm.log");
    // The tray brings it up, as the record shows.
    Click("Show window");
    EXPECT_EQ(FindHostWindow(host_, kTimeoutMs), window);
    EXPECT_TRUE(SeenMapped(window)) << ReadFile(host_.dir() + "/wm.log");
  } else {
    EXPECT_FALSE(FindHostWindow(host_, kTimeoutMs).empty()) << "the window never showed";
    ASSERT_TRUE(panel.Expect("window: shown, no tray to start minimised in"));
    ASSERT_TRUE(panel.Expect("state: disconnected"));
  }
  // The tray library says nothing where there is no tray, or no bus.
  EXPECT_EQ(host_.Stderr().find("WARNING"), std::string::npos) << host_.Stderr();
  EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos) << host_.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Trays,
                         PanelTrayStartE2ETest,
                         ::testing::Values(StartCase{"tray", true, true, true},
                                           StartCase{"bus_without_tray", true, false, false},
                                           StartCase{"no_bus", false, false, false}),
                         [](const ::testing::TestParamInfo<StartCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PanelTrayE2ETest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
  ASSERT_NO_FATAL_FAILURE(StartHost(/*bus=*/false, /*watcher=*/false));
  PanelDriver panel(&host_);
  ASSERT_TRUE(panel.FindWindow());
  ASSERT_TRUE(panel.Expect("state: disconnected"));
  const std::string entry = host_.config_home() + "/autostart/" + kAppId + ".desktop";
  g_autofree gchar* executable =
      realpath((std::string(getenv("KORVANE_BUNDLE_DIR")) + "/korvane").c_str(), nullptr);
  ASSERT_NE(executable, nullptr);

  panel.Keys({"alt+a"});
  ASSERT_TRUE(panel.Expect("start at login: on (" + entry + ")"));
  std::string text = ReadFile(entry);
  EXPECT_NE(text.find("\nExec=\"" + std::string(executable) + "\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos) << text;
  struct stat info;
  ASSERT_EQ(lstat(entry.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // Start minimised is saved, and the entry follows it.
  panel.Keys({"alt+m"});
  ASSERT_TRUE(panel.Expect("start minimised: on"));
  ASSERT_TRUE(panel.Expect("start at login: on (" + entry + ")"));
  text = ReadFile(entry);
  EXPECT_NE(text.find("\nExec=env KORVANE_START_MINIMIZED=1 \"" + std::string(executable) + "\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(ReadFile(host_.config_home() + "/korvane/panel.ini").find("start-minimized=true"),
            std::string::npos);

  panel.Keys({"alt+a"});
  ASSERT_TRUE(panel.Expect("start at login: off"));
  EXPECT_NE(lstat(entry.c_str(), &info), 0);

  // A link there is neither written through nor replaced.
  const std::string target = host_.dir() + "/elsewhere";
  WriteFile(target, "kept\n");
  ASSERT_EQ(symlink(target.c_str(), entry.c_str()), 0);
  panel.Keys({"alt+a"});
  ASSERT_TRUE(panel.Expect("start at login: could not be set up"));
  EXPECT_EQ(ReadFile(target), "kept\n");
  ASSERT_EQ(lstat(entry.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

}  // namespace
}  // namespace korvane_test
