// FlView in-process on a private Xvfb: what it shows of the bridge, its "first-frame" signal
// and its registry.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <filesystem>
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

// The view's labels, top to bottom, as plain text.
std::vector<std::string> LabelTexts(FlView* view) {
  std::vector<std::string> texts;
  GList* children = gtk_container_get_children(GTK_CONTAINER(view));
  for (GList* l = children; l != nullptr; l = l->next) {
    if (GTK_IS_LABEL(l->data)) {
      texts.emplace_back(gtk_label_get_text(GTK_LABEL(l->data)));
    }
  }
  g_list_free(children);
  return texts;
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
  std::vector<std::string> texts = LabelTexts(view_);
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[1], "UI bridge: " + socket_path_);
  EXPECT_EQ(texts[2], "UI client: none");
  EXPECT_EQ(texts[3], "Recent events sent to the UI:\n  (none)");

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
  EXPECT_EQ(LabelTexts(view_)[2], "UI client: connected");

  // Ten events; the view keeps the last eight.
  for (int i = 1; i <= 10; i++) {
    g_autoptr(FlValue) value = fl_value_new_int(i);
    EXPECT_TRUE(fl_event_channel_send(channel, value, nullptr, nullptr));
  }
  std::string expected = "Recent events sent to the UI:";
  for (int i = 3; i <= 10; i++) {
    expected += "\n  test/view_events: " + std::to_string(i);
  }
  EXPECT_EQ(LabelTexts(view_)[3], expected);

  release = true;
  ASSERT_TRUE(IterateUntil([&] { return LabelTexts(view_)[2] == "UI client: none"; }));
  client_thread.join();
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
