// FlView in-process on a private Xvfb: what it shows of the bridge, its "first-frame" signal
// and its registry.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/font_caches.h"
#include "flutter_linux/flutter_linux.h"
#include "tests/support/host_fixture.h"
#include "tests/support/main_loop.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
// GTK lays out text in this process: free Pango's font caches once every test has finished, as
// the host does, so that the leak check at exit sees only what was really leaked.
class FontCachesReleasedAtEnd : public ::testing::Environment {
 public:
  void TearDown() override { korvane::ReleaseFontCaches(); }
};
::testing::Environment* const font_caches_environment_ =
    ::testing::AddGlobalTestEnvironment(new FontCachesReleasedAtEnd);
#endif

using korvane::BridgeClient;

constexpr int kTimeoutMs = 20000;

// The view's own labels, top to bottom, as plain text: its heading and state, then those of its
// details area (the stand-in for the Dart UI, a box, is passed over).
std::vector<std::string> LabelTexts(FlView* view) {
  std::vector<std::string> texts;
  std::function<void(GtkWidget*)> add = [&](GtkWidget* widget) {
    if (GTK_IS_LABEL(widget)) {
      texts.emplace_back(gtk_label_get_text(GTK_LABEL(widget)));
    } else if (GTK_IS_EXPANDER(widget)) {
      add(gtk_bin_get_child(GTK_BIN(widget)));
    } else if (GTK_IS_BOX(widget) && !FL_IS_VIEW(gtk_widget_get_parent(widget))) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
      for (GList* l = children; l != nullptr; l = l->next) {
        add(GTK_WIDGET(l->data));
      }
      g_list_free(children);
    }
  };
  GList* children = gtk_container_get_children(GTK_CONTAINER(view));
  for (GList* l = children; l != nullptr; l = l->next) {
    add(GTK_WIDGET(l->data));
  }
  g_list_free(children);
  return texts;
}

GtkExpander* Details(FlView* view) {
  GtkExpander* details = nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(view));
  for (GList* l = children; l != nullptr; l = l->next) {
    if (GTK_IS_EXPANDER(l->data)) {
      details = GTK_EXPANDER(l->data);
    }
  }
  g_list_free(children);
  return details;
}

// Each line of a recent-events text after its heading, with its local time ("HH:MM:SS  ")
// checked and taken off.
std::vector<std::string> EventLines(const std::string& text) {
  std::vector<std::string> lines;
  const std::regex line("\n  ([0-9]{2}:[0-9]{2}:[0-9]{2})  ([^\n]*)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator();
       ++it) {
    lines.push_back((*it)[2].str());
  }
  return lines;
}

// The local wall-clock time of |unix_ms|, as the view shows it.
std::string WallClock(gint64 unix_ms) {
  g_autoptr(GDateTime) time = g_date_time_new_from_unix_local(unix_ms / 1000);
  g_autofree gchar* text = g_date_time_format(time, "%H:%M:%S");
  return text;
}

std::string FirstLabelMarkup(FlView* view) {
  GList* children = gtk_container_get_children(GTK_CONTAINER(view));
  std::string markup = gtk_label_get_label(GTK_LABEL(children->data));
  g_list_free(children);
  return markup;
}

class FlViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    display_ = new korvane_test::HostFixture();
    korvane_test::HostOptions options;
    std::string error;
    if (display_->StartDisplay(options, &error)) {
      g_setenv("DISPLAY", display_->display().c_str(), TRUE);
      g_setenv("GDK_BACKEND", "x11", TRUE);
      g_setenv("NO_AT_BRIDGE", "1", TRUE);
      gtk_ready_ = gtk_init_check(nullptr, nullptr);
    }
  }

  static void TearDownTestSuite() {
    delete display_;
    display_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(gtk_ready_) << "no display for GTK";
    socket_path_ = display_->dir() + "/view/ui.sock";
    g_setenv("KORVANE_UI_SOCKET", socket_path_.c_str(), TRUE);
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    // The application's name, which the view's heading shows.
    gtk_window_set_title(GTK_WINDOW(window_), "Viewer");
    view_ = fl_view_new(project);
    gtk_widget_show(GTK_WIDGET(view_));
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
  }

  void TearDown() override {
    g_clear_pointer(&window_, gtk_widget_destroy);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_unsetenv("KORVANE_UI_SOCKET");
  }

  bool IterateUntil(const std::function<bool()>& condition) {
    return korvane_test::IterateMainLoopUntil(condition, kTimeoutMs);
  }

  static korvane_test::HostFixture* display_;
  static bool gtk_ready_;
  std::string socket_path_;
  GtkWidget* window_ = nullptr;
  FlView* view_ = nullptr;
};

korvane_test::HostFixture* FlViewTest::display_ = nullptr;
bool FlViewTest::gtk_ready_ = false;

TEST_F(FlViewTest, FirstFrameIsSignalledOnceAfterRealize) {
  int frames = 0;
  g_signal_connect_swapped(view_, "first-frame", G_CALLBACK(+[](int* count) { (*count)++; }),
                           &frames);
  // The template realizes the view and shows the window only on this signal.
  gtk_widget_realize(GTK_WIDGET(view_));
  ASSERT_TRUE(IterateUntil([&] { return frames == 1; }));
  gtk_widget_show(window_);
  gtk_widget_hide(window_);
  gtk_widget_show(window_);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_EQ(frames, 1);
}

TEST_F(FlViewTest, ShowsTheBridgeTheClientAndTheLatestEvents) {
  // On top what a person reads: the application's name and its state, no socket path. The
  // bridge's own state is in the details, collapsed at first.
  std::vector<std::string> texts = LabelTexts(view_);
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], "Viewer");
  EXPECT_EQ(texts[1], "Running");
  EXPECT_EQ(texts[2], "UI bridge: " + socket_path_);
  EXPECT_EQ(texts[3], "UI client: none");
  EXPECT_EQ(texts[4], "Recent events:\n  (none)");
  ASSERT_NE(Details(view_), nullptr);
  EXPECT_FALSE(gtk_expander_get_expanded(Details(view_)));

  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(fl_view_get_engine(view_));
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlEventChannel) channel =
      fl_event_channel_new(messenger, "test/view_events", FL_METHOD_CODEC(codec));

  std::atomic<bool> listening{false};
  std::atomic<bool> release{false};
  std::thread client_thread([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    EXPECT_EQ(client.Listen("test/view_events", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
    listening = true;
    BridgeClient::Event event;
    // Read (and so answer) the events until told to leave.
    while (!release) {
      client.NextEvent(50, &event, &error);
    }
  });
  ASSERT_TRUE(IterateUntil([&] { return listening.load(); }));
  EXPECT_EQ(LabelTexts(view_)[1], "Running, controlled by a connected app");
  EXPECT_EQ(LabelTexts(view_)[3], "UI client: connected");

  // Ten events and one that says when it happened, in milliseconds since the epoch (a fixed
  // moment, 2023-11-14 22:13:20.123 UTC); the view keeps the last eight, each with its local
  // time.
  for (int i = 1; i <= 10; i++) {
    g_autoptr(FlValue) value = fl_value_new_int(i);
    EXPECT_TRUE(fl_event_channel_send(channel, value, nullptr, nullptr));
  }
  constexpr gint64 kMoment = 1700000000123;
  g_autoptr(FlValue) stamped = fl_value_new_map();
  fl_value_set_string_take(stamped, "status", fl_value_new_string("vpn_connected"));
  fl_value_set_string_take(stamped, "timestamp", fl_value_new_int(kMoment));
  EXPECT_TRUE(fl_event_channel_send(channel, stamped, nullptr, nullptr));
  const std::string events = LabelTexts(view_)[4];
  ASSERT_EQ(events.rfind("Recent events:", 0), 0u) << events;
  std::vector<std::string> expected;
  for (int i = 4; i <= 10; i++) {
    expected.push_back("test/view_events: " + std::to_string(i));
  }
  expected.push_back("test/view_events: {status: vpn_connected}");
  EXPECT_EQ(EventLines(events), expected) << events;
  EXPECT_NE(events.find("\n  " + WallClock(kMoment) + "  test/view_events: {status: "),
            std::string::npos)
      << events;

  release = true;
  ASSERT_TRUE(IterateUntil([&] { return LabelTexts(view_)[3] == "UI client: none"; }));
  client_thread.join();
}

// A socket path that is not UTF-8 (a Latin-1 folder name) is a file name, not text: it is shown
// in its display form, and drawing the view logs no warning from GTK or Pango.
TEST_F(FlViewTest, AFileNameThatIsNotUtf8IsShownInItsDisplayForm) {
  std::vector<std::string> warnings;
  auto record = +[](const gchar* domain, GLogLevelFlags, const gchar* message, gpointer data) {
    static_cast<std::vector<std::string>*>(data)->push_back(std::string(domain) + ": " + message);
  };
  const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);
  const guint pango_handler = g_log_set_handler("Pango", levels, record, &warnings);
  const guint gtk_handler = g_log_set_handler("Gtk", levels, record, &warnings);

  const std::string path = display_->dir() + "/caf\xe9/ui.sock";
  g_setenv("KORVANE_UI_SOCKET", path.c_str(), TRUE);
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  FlView* view = fl_view_new(project);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  // Open, so that the details are laid out and drawn too.
  ASSERT_NE(Details(view), nullptr);
  gtk_expander_set_expanded(Details(view), TRUE);
  bool drawn = false;
  g_signal_connect_after(view, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, bool* flag) {
                           *flag = true;
                           return FALSE;
                         }),
                         &drawn);
  gtk_widget_show_all(window);
  EXPECT_TRUE(IterateUntil([&] { return drawn; }));

  g_autofree gchar* shown = g_filename_display_name(path.c_str());
  ASSERT_NE(std::string(shown).find("\uFFFD"), std::string::npos) << shown;
  EXPECT_EQ(LabelTexts(view)[2], std::string("UI bridge: ") + shown);
  gtk_widget_destroy(window);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  g_log_remove_handler("Pango", pango_handler);
  g_log_remove_handler("Gtk", gtk_handler);
  EXPECT_TRUE(warnings.empty()) << warnings.front();
}

TEST_F(FlViewTest, TextStaysReadableOnTheBackground) {
  GdkRGBA white;
  gdk_rgba_parse(&white, "#ffffff");
  fl_view_set_background_color(view_, &white);
  EXPECT_NE(FirstLabelMarkup(view_).find("#202020"), std::string::npos);
  GdkRGBA black;
  gdk_rgba_parse(&black, "#000000");
  fl_view_set_background_color(view_, &black);
  EXPECT_NE(FirstLabelMarkup(view_).find("#e8e8e8"), std::string::npos);
}

TEST_F(FlViewTest, RegistrarGivesTheEnginesMessengerAndTheView) {
  g_autoptr(FlPluginRegistrar) registrar =
      fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(view_), "SomePlugin");
  ASSERT_NE(registrar, nullptr);
  EXPECT_EQ(fl_plugin_registrar_get_messenger(registrar),
            fl_engine_get_binary_messenger(fl_view_get_engine(view_)));
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), view_);
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(registrar),
            fl_engine_get_texture_registrar(fl_view_get_engine(view_)));
  // A registrar may outlive the view.
  g_clear_pointer(&window_, gtk_widget_destroy);
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), nullptr);
}

}  // namespace
