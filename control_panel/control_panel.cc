#include "control_panel/control_panel.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "control_panel/panel_channel_client.h"
#include "control_panel/panel_hand_over.h"
#include "control_panel/panel_http.h"
#include "control_panel/panel_log.h"
#include "control_panel/panel_nodes.h"
#include "control_panel/panel_present.h"
#include "control_panel/panel_settings.h"
#include "control_panel/panel_start.h"
#include "control_panel/panel_traffic.h"
#include "control_panel/panel_tray.h"
#include "fl_ui_bridge.h"
#include "fl_view_private.h"
#include "vpn/vpn_channels.h"

namespace {

// The UI protocol's names, as the host defines them.
constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr const char* kCoreChannel = korvane::kCoreChannelName;
constexpr const char* kEventsChannel = korvane::kEventChannelName;

constexpr char kDisableVariable[] = "KORVANE_CONTROL_PANEL";

constexpr const char* kStatusKey = korvane::kEventStatusKey;
constexpr const char* kErrorKey = korvane::kEventErrorKey;
constexpr const char* kStatusPrefix = korvane::kEventStatePrefix;
constexpr const char* kErrorStatus = korvane::kEventErrorStatus;
constexpr char kErrorPrefix[] = "error: ";

// The panel draws its own light card, so it reads the same on whatever background the
// application gives the view. Each state has a colour of its own that nothing else uses.
constexpr char kCss[] =
    ".korvane-panel { background-color: #f4f5f7; color: #1f2328; border-radius: 10px;"
    "  padding: 18px; }"
    ".korvane-panel-title { font-weight: bold; font-size: 130%; }"
    ".korvane-state { color: #ffffff; font-weight: bold; padding: 6px 16px;"
    "  border-radius: 6px; }"
    ".korvane-state-disconnected { background-color: #6b7280; }"
    ".korvane-state-connecting { background-color: #b7791f; }"
    ".korvane-state-connected { background-color: #1e8e3e; }"
    ".korvane-state-disconnecting { background-color: #c2410c; }"
    ".korvane-state-unknown { background-color: #6d28d9; }"
    ".korvane-error { background-color: #fde8e8; color: #b3261e; padding: 6px 10px;"
    "  border-radius: 6px; }"
    ".korvane-note { color: #57606a; }"
    ".korvane-attached { background-color: #ddeeff; color: #0b3d91; padding: 6px 10px;"
    "  border-radius: 6px; }"
    // Where the keyboard is, plainly: the theme's own ring is a faint dotted line.
    ".korvane-panel *:focus { outline-color: #1a73e8; outline-style: solid; outline-width: 2px;"
    "  outline-offset: 1px; }";

const char* const kStates[] = {"disconnected", "connecting", "connected", "disconnecting",
                               "unknown"};

// The settings key of the configuration last connected from the panel.
constexpr char kLastProfileKey[] = "lastProfile";

// While a UI is attached the panel does not listen to the host's events (they are that UI's),
// so it asks for the state this often instead.
constexpr guint kAttachedPollMs = 1000;

// A frame that never comes (a window the compositor does not draw) must not hold a call back
// for long.
constexpr guint kFrameWaitMs = 500;

bool PanelDisabled() {
  const gchar* value = g_getenv(kDisableVariable);
  return value != nullptr && (g_strcmp0(value, "0") == 0 || g_ascii_strcasecmp(value, "off") == 0);
}

// A string value, or "" when @value is not one.
std::string StringOf(FlValue* value) {
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_STRING
             ? fl_value_get_string(value)
             : "";
}

// The string under @key of a map value, or "".
std::string MapString(FlValue* map, const char* key) {
  if (map == nullptr || fl_value_get_type(map) != FL_VALUE_TYPE_MAP) {
    return "";
  }
  return StringOf(fl_value_lookup_string(map, key));
}

// @path with a leading "~" or "~/" standing for the home folder, as a shell reads it.
std::string ExpandHome(const std::string& path) {
  if (path == "~" || path.rfind("~/", 0) == 0) {
    return std::string(g_get_home_dir()) + path.substr(1);
  }
  return path;
}

// A latency the host reports; a negative one means no test has answered for it.
std::string DelayText(gint64 delay, const char* none) {
  return delay < 0 ? std::string(none) : std::to_string(delay) + " ms";
}

GtkWidget* NewLabel(const char* text, const char* style_class = nullptr) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  gtk_widget_set_can_focus(label, FALSE);
  if (style_class != nullptr) {
    gtk_style_context_add_class(gtk_widget_get_style_context(label), style_class);
  }
  return label;
}

GtkWidget* NewHeading(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0);
  gtk_widget_set_valign(label, GTK_ALIGN_START);
  gtk_style_context_add_class(gtk_widget_get_style_context(label), "korvane-note");
  return label;
}

class ControlPanel {
 public:
  explicit ControlPanel(FlBridgeMessenger* messenger);
  ~ControlPanel();
  ControlPanel(const ControlPanel&) = delete;
  ControlPanel& operator=(const ControlPanel&) = delete;

  GtkWidget* widget() const { return card_; }

 private:
  // Built in steps so that nothing delays the bridge's hello: the card at once (empty), what the
  // first frame shows from the main loop's first idle, and the connection's views (nodes,
  // traffic, log) after that frame, or when a connection needs them first.
  void Build();
  void BuildViews();
  GtkWidget* AddRow(const char* heading, GtkWidget* content);
  GtkWidget* NewButton(const char* mnemonic, void (ControlPanel::*action)());

  // The channels are ours (true) or handed over to an attached UI (false).
  void SetActive(bool active);
  void Refresh();
  void RefreshState();
  void OnEvent(FlValue* event, const std::string& error);

  void SetState(const std::string& state);
  void ShowRunning();
  void LoadLastProfile();
  static gboolean AttachedPollCb(gpointer data);
  void ShowError(const std::string& text);
  void Show(GtkWidget* label, const char* key, const std::string& text);
  // Who has the channels: @shown for a person (hidden when empty), @output on standard output.
  void ShowChannels(const char* shown, const char* output);

  // Runs @work once the window has drawn what is queued now (at once when it cannot draw): a
  // call that blocks the main loop is sent only after the state it is in is on screen.
  void AfterNextFrame(std::function<void()> work);
  void RunAfterFrame();

  void ChooseFile();
  void Toggle();
  void Connect();
  void Disconnect();
  void ClearProxy();
  void TestLatency();
  void QuerySelector();
  void CheckPrivileges();
  void GrantAccess();
  void Restart();
  void CheckCrashLogs();
  // The views of a running connection: filled when it is up, emptied when it goes.
  void FollowConnection();
  void ClearConnection();

  // Runs @then with the answer if the panel still exists; the panel lives as long as its card.
  template <typename Then>
  void Call(const char* channel, const char* method, FlValue* args, Then then) {
    client_->Invoke(channel, method, args,
                    [this, then](const PanelChannelClient::Answer& a) { then(this, a); });
  }

  std::unique_ptr<PanelChannelClient> client_;
  std::unique_ptr<PanelHandOver> hand_over_;
  FlBridgeMessenger* messenger_;
  // Sources that build the panel's rows and its views (0 once run).
  guint build_source_ = 0;
  // Null until BuildViews.
  std::unique_ptr<PanelNodes> nodes_;
  std::unique_ptr<PanelLog> log_;
  std::unique_ptr<PanelTraffic> traffic_;
  // Null without a session bus.
  std::unique_ptr<PanelTray> tray_;
  // The controller of the configuration the panel last connected with; unknown for one that
  // another UI started.
  PanelController controller_;
  bool listening_ = false;
  std::string state_class_;
  std::string state_;
  // Work waiting for the next frame, and what wakes it.
  std::function<void()> after_frame_;
  GdkFrameClock* frame_clock_ = nullptr;
  gulong after_paint_handler_ = 0;
  guint frame_timeout_ = 0;
  // The file last picked in the chooser and the text the entry shows for it.
  std::string chosen_path_;
  std::string chosen_shown_;
  // The last error shown ("" when none).
  std::string error_text_;
  bool asked_for_crash_report_ = false;
  // The file of the panel's connect under way, and of the connection running from it ("" when
  // the running one was started by another UI, or nothing runs).
  std::string connecting_path_;
  std::string running_path_;
  guint attached_poll_ = 0;

  GtkWidget* card_ = nullptr;
  GtkWidget* grid_ = nullptr;
  int rows_ = 0;
  GtkWidget* attached_label_ = nullptr;
  GtkWidget* state_label_ = nullptr;
  GtkWidget* version_label_ = nullptr;
  GtkWidget* running_label_ = nullptr;
  GtkWidget* error_label_ = nullptr;
  GtkWidget* path_entry_ = nullptr;
  GtkWidget* toggle_button_ = nullptr;
  GtkWidget* proxy_switch_ = nullptr;
  GtkWidget* proxy_label_ = nullptr;
  GtkWidget* latency_button_ = nullptr;
  GtkWidget* latency_label_ = nullptr;
  GtkWidget* node_label_ = nullptr;
  GtkWidget* privileges_label_ = nullptr;
  GtkWidget* crash_label_ = nullptr;
  // What a person can use: insensitive while a UI is attached.
  GtkWidget* controls_ = nullptr;
};

ControlPanel::ControlPanel(FlBridgeMessenger* messenger)
    : client_(std::make_unique<PanelChannelClient>(messenger)), messenger_(messenger) {
  card_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  // The panel goes with its card, before the card's widgets are gone: no answer reaches it
  // after that.
  g_signal_connect(card_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                     delete static_cast<ControlPanel*>(data);
                   }),
                   this);
  // Before the first frame is drawn but after whatever the main loop has waiting at default
  // priority: the application registers its channels after the view, and a UI client already
  // waiting is greeted before a row of the panel exists.
  build_source_ = g_idle_add_full(
      G_PRIORITY_HIGH_IDLE,
      +[](gpointer data) -> gboolean {
        ControlPanel* self = static_cast<ControlPanel*>(data);
        self->build_source_ = 0;
        self->Build();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
}

ControlPanel::~ControlPanel() {
  g_clear_handle_id(&attached_poll_, g_source_remove);
  g_clear_handle_id(&build_source_, g_source_remove);
  g_clear_handle_id(&frame_timeout_, g_source_remove);
  if (frame_clock_ != nullptr) {
    g_clear_signal_handler(&after_paint_handler_, frame_clock_);
    g_clear_object(&frame_clock_);
  }
}

GtkWidget* ControlPanel::AddRow(const char* heading, GtkWidget* content) {
  gtk_grid_attach(GTK_GRID(grid_), NewHeading(heading), 0, rows_, 1, 1);
  gtk_widget_set_hexpand(content, TRUE);
  gtk_grid_attach(GTK_GRID(grid_), content, 1, rows_, 1, 1);
  rows_++;
  return content;
}

GtkWidget* ControlPanel::NewButton(const char* mnemonic, void (ControlPanel::*action)()) {
  GtkWidget* button = gtk_button_new_with_mnemonic(mnemonic);
  struct Binding {
    ControlPanel* panel;
    void (ControlPanel::*action)();
  };
  g_signal_connect_data(
      button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
        Binding* binding = static_cast<Binding*>(data);
        (binding->panel->*(binding->action))();
      }),
      new Binding{this, action},
      [](gpointer data, GClosure*) { delete static_cast<Binding*>(data); },
      static_cast<GConnectFlags>(0));
  return button;
}

void ControlPanel::Build() {
  static GtkCssProvider* provider = nullptr;
  if (provider == nullptr) {
    provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, kCss, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(),
                                              GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  }

  gtk_style_context_add_class(gtk_widget_get_style_context(card_), "korvane-panel");
  gtk_widget_set_margin_start(card_, 24);
  gtk_widget_set_margin_end(card_, 24);
  gtk_widget_set_halign(card_, GTK_ALIGN_FILL);

  GtkWidget* title = gtk_label_new("Korvane control panel");
  gtk_label_set_xalign(GTK_LABEL(title), 0.0);
  gtk_style_context_add_class(gtk_widget_get_style_context(title), "korvane-panel-title");
  gtk_box_pack_start(GTK_BOX(card_), title, FALSE, FALSE, 0);
  attached_label_ = NewLabel("", "korvane-note");
  gtk_box_pack_start(GTK_BOX(card_), attached_label_, FALSE, FALSE, 0);

  controls_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_start(GTK_BOX(card_), controls_, FALSE, FALSE, 0);
  grid_ = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid_), 10);
  gtk_grid_set_column_spacing(GTK_GRID(grid_), 16);
  gtk_box_pack_start(GTK_BOX(controls_), grid_, FALSE, FALSE, 0);

  GtkWidget* state_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  state_label_ = gtk_label_new("");
  gtk_style_context_add_class(gtk_widget_get_style_context(state_label_), "korvane-state");
  gtk_box_pack_start(GTK_BOX(state_row), state_label_, FALSE, FALSE, 0);
  version_label_ = NewLabel("Core version: ?", "korvane-note");
  gtk_box_pack_start(GTK_BOX(state_row), version_label_, FALSE, FALSE, 0);
  AddRow("Connection", state_row);
  running_label_ = AddRow("Running", NewLabel("\u2014"));

  error_label_ = NewLabel("none", "korvane-note");
  gtk_widget_set_halign(error_label_, GTK_ALIGN_START);
  AddRow("Last error", error_label_);

  GtkWidget* file_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  path_entry_ = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(path_entry_), "Path of an engine configuration (JSON)");
  gtk_box_pack_start(GTK_BOX(file_row), path_entry_, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(file_row), NewButton("C_hoose\u2026", &ControlPanel::ChooseFile),
                     FALSE, FALSE, 0);
  GtkWidget* file_heading = gtk_label_new_with_mnemonic("Configuration _file");
  gtk_label_set_xalign(GTK_LABEL(file_heading), 0.0);
  gtk_style_context_add_class(gtk_widget_get_style_context(file_heading), "korvane-note");
  gtk_label_set_mnemonic_widget(GTK_LABEL(file_heading), path_entry_);
  gtk_grid_attach(GTK_GRID(grid_), file_heading, 0, rows_, 1, 1);
  gtk_widget_set_hexpand(file_row, TRUE);
  gtk_grid_attach(GTK_GRID(grid_), file_row, 1, rows_, 1, 1);
  rows_++;

  LoadLastProfile();

  // Enter in the path connects, as the button does.
  g_signal_connect(path_entry_, "activate", G_CALLBACK(+[](GtkEntry*, gpointer data) {
                     static_cast<ControlPanel*>(data)->Connect();
                   }),
                   this);

  // One button whose action follows the state: nothing to choose between that does nothing.
  GtkWidget* actions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  toggle_button_ = NewButton("_Connect", &ControlPanel::Toggle);
  gtk_box_pack_start(GTK_BOX(actions), toggle_button_, FALSE, FALSE, 0);
  AddRow("", actions);

  GtkWidget* proxy_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  proxy_switch_ = gtk_switch_new();
  // The host's own default.
  gtk_switch_set_active(GTK_SWITCH(proxy_switch_), TRUE);
  gtk_widget_set_valign(proxy_switch_, GTK_ALIGN_CENTER);
  gtk_box_pack_start(GTK_BOX(proxy_row), proxy_switch_, FALSE, FALSE, 0);
  GtkWidget* switch_label = gtk_label_new_with_mnemonic("Configure desktop pro_xy on connect");
  gtk_label_set_mnemonic_widget(GTK_LABEL(switch_label), proxy_switch_);
  gtk_box_pack_start(GTK_BOX(proxy_row), switch_label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(proxy_row),
                     NewButton("Clear desktop _proxy", &ControlPanel::ClearProxy), FALSE, FALSE, 0);
  proxy_label_ = NewLabel("", "korvane-note");
  gtk_box_pack_start(GTK_BOX(proxy_row), proxy_label_, FALSE, FALSE, 0);
  AddRow("Desktop proxy", proxy_row);

  GtkWidget* latency_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  latency_button_ = NewButton("Test _latency", &ControlPanel::TestLatency);
  gtk_box_pack_start(GTK_BOX(latency_row), latency_button_, FALSE, FALSE, 0);
  latency_label_ = NewLabel("", nullptr);
  gtk_box_pack_start(GTK_BOX(latency_row), latency_label_, TRUE, TRUE, 0);
  AddRow("Latency", latency_row);
  node_label_ = AddRow("Selected node", NewLabel("\u2014"));

  GtkWidget* privilege_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  privileges_label_ = NewLabel("?");
  gtk_box_pack_start(GTK_BOX(privilege_row), privileges_label_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(privilege_row),
                     NewButton("_Grant network access", &ControlPanel::GrantAccess), FALSE, FALSE,
                     0);
  gtk_box_pack_start(GTK_BOX(privilege_row), NewButton("_Restart", &ControlPanel::Restart), FALSE,
                     FALSE, 0);
  AddRow("Network access", privilege_row);

  crash_label_ = AddRow("Crash report", NewLabel("none from the previous session"));

  gtk_widget_show_all(card_);
  tray_ = PanelTray::Create({[this]() { Toggle(); },
                             [this]() {
                               GtkWidget* window = gtk_widget_get_toplevel(card_);
                               if (GTK_IS_WINDOW(window)) {
                                 gtk_widget_show(window);
                                 gtk_window_present(GTK_WINDOW(window));
                               }
                               g_print("[Panel] window: shown from the tray\n");
                             }});
  SetState("unknown");
  ShowChannels("Starting\u2026", "waiting for the host");
  hand_over_ =
      std::make_unique<PanelHandOver>(messenger_, [this](bool active) { SetActive(active); });
  // The views are empty until a connection runs: they wait for the first frame.
  AfterNextFrame([this] {
    build_source_ = g_idle_add(
        +[](gpointer data) -> gboolean {
          ControlPanel* self = static_cast<ControlPanel*>(data);
          self->build_source_ = 0;
          self->BuildViews();
          return G_SOURCE_REMOVE;
        },
        this);
  });
}

void ControlPanel::BuildViews() {
  if (nodes_ != nullptr) {
    return;
  }
  g_clear_handle_id(&build_source_, g_source_remove);
  nodes_ = std::make_unique<PanelNodes>(client_.get());
  log_ = std::make_unique<PanelLog>();
  traffic_ = std::make_unique<PanelTraffic>();
  const int first_row = rows_;
  GtkWidget* nodes_heading = gtk_label_new_with_mnemonic("_Nodes");
  gtk_label_set_xalign(GTK_LABEL(nodes_heading), 0.0);
  gtk_widget_set_valign(nodes_heading, GTK_ALIGN_START);
  gtk_style_context_add_class(gtk_widget_get_style_context(nodes_heading), "korvane-note");
  gtk_label_set_mnemonic_widget(GTK_LABEL(nodes_heading), nodes_->tree());
  gtk_grid_attach(GTK_GRID(grid_), nodes_heading, 0, rows_, 1, 1);
  gtk_widget_set_hexpand(nodes_->widget(), TRUE);
  gtk_grid_attach(GTK_GRID(grid_), nodes_->widget(), 1, rows_, 1, 1);
  rows_++;
  AddRow("Traffic", traffic_->widget());
  AddRow("Start", PanelStart::NewOptions());
  AddRow("Engine log", log_->widget());
  for (int row = first_row; row < rows_; row++) {
    gtk_widget_show_all(gtk_grid_get_child_at(GTK_GRID(grid_), 0, row));
    gtk_widget_show_all(gtk_grid_get_child_at(GTK_GRID(grid_), 1, row));
  }
}

void ControlPanel::Show(GtkWidget* label, const char* key, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  g_print("[Panel] %s: %s\n", key, text.c_str());
}

void ControlPanel::ShowChannels(const char* shown, const char* output) {
  gtk_label_set_text(GTK_LABEL(attached_label_), shown);
  gtk_widget_set_visible(attached_label_, shown[0] != '\0');
  g_print("[Panel] channels: %s\n", output);
}

void ControlPanel::SetState(const std::string& state) {
  std::string name = state;
  bool known = false;
  for (const char* candidate : kStates) {
    known = known || name == candidate;
  }
  if (!known) {
    name = "unknown";
  }
  if (name == state_) {
    return;
  }
  const bool was_connected = state_ == "connected";
  state_ = name;
  if (name == "connected") {
    // Ours only when the panel's own connect brought it up; else another UI started it, with a
    // configuration (and controller) the panel does not know.
    running_path_ = connecting_path_;
    if (running_path_.empty()) {
      controller_ = PanelController();
    } else {
      PanelSettings::SetPath(kLastProfileKey, running_path_);
    }
    connecting_path_.clear();
    ShowRunning();
    FollowConnection();
    QuerySelector();
  } else if (was_connected) {
    ClearConnection();
  }
  if (name == "disconnected") {
    running_path_.clear();
    ShowRunning();
  }
  const bool running = name == "connected" || name == "connecting";
  gtk_button_set_label(GTK_BUTTON(toggle_button_), running ? "_Disconnect" : "_Connect");
  gtk_widget_set_sensitive(toggle_button_, name != "disconnecting");
  if (name == "disconnected") {
    // What was measured belongs to the connection that has gone.
    Show(latency_label_, "latency", "");
    Show(node_label_, "selected node", "\u2014");
  }
  GtkStyleContext* style = gtk_widget_get_style_context(state_label_);
  if (!state_class_.empty()) {
    gtk_style_context_remove_class(style, state_class_.c_str());
  }
  state_class_ = "korvane-state-" + name;
  gtk_style_context_add_class(style, state_class_.c_str());
  std::string text = name;
  text[0] = g_ascii_toupper(text[0]);
  if (name == "connecting" || name == "disconnecting") {
    text += "\u2026";
  }
  gtk_label_set_text(GTK_LABEL(state_label_), text.c_str());
  g_print("[Panel] state: %s\n", name.c_str());
  if (tray_ != nullptr) {
    tray_->SetState(name);
  }
}

void ControlPanel::ShowRunning() {
  std::string text = "\u2014";
  if (state_ == "connected") {
    if (running_path_.empty()) {
      text = "a configuration another client connected";
    } else {
      g_autofree gchar* shown = g_filename_display_name(running_path_.c_str());
      text = shown;
    }
  }
  Show(running_label_, "running", text);
}

void ControlPanel::LoadLastProfile() {
  const std::string path = PanelSettings::GetPath(kLastProfileKey);
  if (path.empty()) {
    return;
  }
  g_autofree gchar* shown = g_filename_display_name(path.c_str());
  chosen_path_ = path;
  chosen_shown_ = shown;
  gtk_entry_set_text(GTK_ENTRY(path_entry_), shown);
  g_print("[Panel] last profile: %s\n", shown);
}

gboolean ControlPanel::AttachedPollCb(gpointer data) {
  static_cast<ControlPanel*>(data)->RefreshState();
  return G_SOURCE_CONTINUE;
}

void ControlPanel::ShowError(const std::string& text) {
  if (text == error_text_) {
    return;
  }
  error_text_ = text;
  GtkStyleContext* style = gtk_widget_get_style_context(error_label_);
  if (text.empty()) {
    gtk_style_context_remove_class(style, "korvane-error");
    gtk_style_context_add_class(style, "korvane-note");
  } else {
    gtk_style_context_remove_class(style, "korvane-note");
    gtk_style_context_add_class(style, "korvane-error");
  }
  Show(error_label_, "error", text.empty() ? "none" : text);
  if (tray_ != nullptr) {
    tray_->SetError(text);
  }
}

void ControlPanel::SetActive(bool active) {
  gtk_widget_set_sensitive(controls_, active);
  if (tray_ != nullptr) {
    tray_->SetUsable(active);
  }
  if (!active) {
    // One UI at a time: the attached client has the channels now.
    if (listening_) {
      client_->Cancel(kEventsChannel);
      listening_ = false;
    }
    // What starts from here is the attached UI's.
    connecting_path_.clear();
    // The state stays in view: asked for now and then, since the events are the UI's now.
    if (attached_poll_ == 0) {
      attached_poll_ = g_timeout_add(kAttachedPollMs, AttachedPollCb, this);
    }
    gtk_style_context_add_class(gtk_widget_get_style_context(attached_label_), "korvane-attached");
    ShowChannels(
        "Another app is controlling Korvane. These controls are paused until it disconnects.",
        "handed over: a UI is attached over the bridge; the panel sends nothing until it leaves");
    return;
  }
  g_clear_handle_id(&attached_poll_, g_source_remove);
  gtk_style_context_remove_class(gtk_widget_get_style_context(attached_label_), "korvane-attached");
  ShowChannels("", "taken: no UI is attached, the panel drives the host");
  listening_ = true;
  client_->Listen(
      kEventsChannel, [this](FlValue* event, const std::string& error) { OnEvent(event, error); },
      [this](const PanelChannelClient::Answer& answer) {
        if (!answer.ok()) {
          ShowError("cannot listen to the host's events: " + answer.Describe());
        }
      });
  Refresh();
}

void ControlPanel::Refresh() {
  RefreshState();
  Call(kCoreChannel, korvane::kGetCoreVersionMethod, nullptr,
       [](ControlPanel* self, const auto& answer) {
         self->Show(
             self->version_label_, "core version",
             "Core version: " + (answer.ok() ? StringOf(answer.value.get()) : answer.Describe()));
       });
  CheckPrivileges();
  // Asked once, at start: the host takes a live session without its clean-stop marker for a
  // crashed one (and removes its log), so it must not be asked while a connection may run.
  if (!asked_for_crash_report_) {
    asked_for_crash_report_ = true;
    CheckCrashLogs();
  }
}

void ControlPanel::RefreshState() {
  Call(kVpnChannel, "getStatus", nullptr, [](ControlPanel* self, const auto& answer) {
    const std::string status = StringOf(answer.value.get());
    if (!answer.ok()) {
      self->SetState("unknown");
      self->ShowError("getStatus: " + answer.Describe());
    } else if (g_str_has_prefix(status.c_str(), kErrorPrefix)) {
      // The host's last failure may be from long ago or from another UI; the panel's "Last
      // error" is about its own last action.
      self->SetState("disconnected");
    } else {
      self->SetState(status);
    }
  });
}

void ControlPanel::OnEvent(FlValue* event, const std::string& error) {
  if (event == nullptr) {
    ShowError("event stream: " + error);
    return;
  }
  const std::string status = MapString(event, kStatusKey);
  if (status == kErrorStatus) {
    connecting_path_.clear();
    ShowError(MapString(event, kErrorKey));
    return;
  }
  if (!g_str_has_prefix(status.c_str(), kStatusPrefix)) {
    return;
  }
  const std::string state = status.substr(strlen(kStatusPrefix));
  if (state == "connecting" || state == "connected") {
    ShowError("");
  }
  SetState(state);
}

void ControlPanel::FollowConnection() {
  BuildViews();
  nodes_->Load(controller_);
  traffic_->Follow(controller_);
  Call(kVpnChannel, "getLibboxLogPath", nullptr, [](ControlPanel* self, const auto& answer) {
    const std::string path = StringOf(answer.value.get());
    if (answer.ok() && !path.empty() && self->state_ == "connected") {
      self->log_->Follow(path);
    }
  });
}

void ControlPanel::ClearConnection() {
  if (nodes_ == nullptr) {
    return;
  }
  nodes_->Clear();
  traffic_->Clear();
  log_->Stop();
}

void ControlPanel::ChooseFile() {
  GtkWidget* toplevel = gtk_widget_get_toplevel(card_);
  GtkWidget* dialog =
      gtk_file_chooser_dialog_new("Choose an engine configuration",
                                  gtk_widget_is_toplevel(toplevel) ? GTK_WINDOW(toplevel) : nullptr,
                                  GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                  "_Open", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  GtkFileFilter* json = gtk_file_filter_new();
  gtk_file_filter_set_name(json, "JSON configurations");
  gtk_file_filter_add_pattern(json, "*.json");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), json);
  GtkFileFilter* all = gtk_file_filter_new();
  gtk_file_filter_set_name(all, "All files");
  gtk_file_filter_add_pattern(all, "*");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), all);
  // Opens where the typed path points: at the file, or in the folder.
  g_autofree gchar* entered = g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(path_entry_))));
  const std::string typed = ExpandHome(entered);
  if (g_file_test(typed.c_str(), G_FILE_TEST_IS_DIR)) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), typed.c_str());
  } else if (g_file_test(typed.c_str(), G_FILE_TEST_IS_REGULAR)) {
    gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), typed.c_str());
  }
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
                     ControlPanel* self = static_cast<ControlPanel*>(data);
                     if (response == GTK_RESPONSE_ACCEPT) {
                       g_autofree gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
                       if (path != nullptr) {
                         // The entry holds text: a name that is not UTF-8 is shown in its
                         // display form, and the file itself is remembered for it.
                         g_autofree gchar* shown = g_filename_display_name(path);
                         self->chosen_path_ = path;
                         self->chosen_shown_ = shown;
                         gtk_entry_set_text(GTK_ENTRY(self->path_entry_), shown);
                         g_print("[Panel] configuration: %s\n", shown);
                       }
                     }
                     // Enter answers from inside the chooser's own activation, which goes on
                     // using the dialog after this returns: it goes once that is done.
                     gtk_widget_hide(GTK_WIDGET(d));
                     g_idle_add(
                         +[](gpointer dialog) -> gboolean {
                           gtk_widget_destroy(GTK_WIDGET(dialog));
                           g_object_unref(dialog);
                           return G_SOURCE_REMOVE;
                         },
                         g_object_ref(d));
                   }),
                   this);
  // The dialog must not outlive the panel that it reports to.
  g_signal_connect_object(card_, "destroy", G_CALLBACK(gtk_widget_destroy), dialog,
                          G_CONNECT_SWAPPED);
  gtk_widget_show(dialog);
}

void ControlPanel::AfterNextFrame(std::function<void()> work) {
  if (after_frame_) {
    RunAfterFrame();
  }
  GdkFrameClock* clock = gtk_widget_get_frame_clock(card_);
  if (clock == nullptr || !gtk_widget_get_mapped(card_)) {
    work();
    return;
  }
  after_frame_ = std::move(work);
  frame_clock_ = GDK_FRAME_CLOCK(g_object_ref(clock));
  after_paint_handler_ =
      g_signal_connect(clock, "after-paint", G_CALLBACK(+[](GdkFrameClock*, gpointer data) {
                         // Out of the frame first: the work may block the main loop.
                         ControlPanel* self = static_cast<ControlPanel*>(data);
                         g_clear_signal_handler(&self->after_paint_handler_, self->frame_clock_);
                         g_clear_handle_id(&self->frame_timeout_, g_source_remove);
                         self->frame_timeout_ = g_idle_add(
                             +[](gpointer data) -> gboolean {
                               ControlPanel* panel = static_cast<ControlPanel*>(data);
                               panel->frame_timeout_ = 0;
                               panel->RunAfterFrame();
                               return G_SOURCE_REMOVE;
                             },
                             self);
                       }),
                       this);
  frame_timeout_ = g_timeout_add(
      kFrameWaitMs,
      +[](gpointer data) -> gboolean {
        ControlPanel* self = static_cast<ControlPanel*>(data);
        self->frame_timeout_ = 0;
        self->RunAfterFrame();
        return G_SOURCE_REMOVE;
      },
      this);
  gtk_widget_queue_draw(card_);
}

void ControlPanel::RunAfterFrame() {
  g_clear_handle_id(&frame_timeout_, g_source_remove);
  if (frame_clock_ != nullptr) {
    g_clear_signal_handler(&after_paint_handler_, frame_clock_);
    g_clear_object(&frame_clock_);
  }
  std::function<void()> work = std::move(after_frame_);
  after_frame_ = nullptr;
  if (work) {
    // What was drawn reaches the display server before the main loop may stop for a while.
    gdk_display_flush(gtk_widget_get_display(card_));
    work();
  }
}

void ControlPanel::Toggle() {
  if (state_ == "connected" || state_ == "connecting") {
    Disconnect();
  } else if (state_ != "disconnecting") {
    Connect();
  }
}

void ControlPanel::Connect() {
  g_autofree gchar* typed = g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(path_entry_))));
  const std::string path =
      !chosen_path_.empty() && chosen_shown_ == typed ? chosen_path_ : ExpandHome(typed);
  if (path.empty()) {
    ShowError("Choose a configuration file first");
    return;
  }
  g_autofree gchar* text = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!g_file_get_contents(path.c_str(), &text, nullptr, &error)) {
    ShowError(std::string("Cannot read the configuration: ") + error->message);
    return;
  }
  ShowError("");
  controller_ = PanelController::FromConfig(text);
  connecting_path_ = path;
  // The host starts the engine on its main loop, so nothing is drawn until it is done: the
  // state goes on screen before the call.
  SetState("connecting");
  std::shared_ptr<FlValue> args(fl_value_new_map(), fl_value_unref);
  fl_value_set_string_take(args.get(), "config", fl_value_new_string(text));
  fl_value_set_string_take(args.get(), "autoConfigureProxy",
                           fl_value_new_bool(gtk_switch_get_active(GTK_SWITCH(proxy_switch_))));
  g_autofree gchar* shown = g_filename_display_name(path.c_str());
  AfterNextFrame([this, args, name = std::string(shown)] {
    g_print("[Panel] connect: %s\n", name.c_str());
    Call(kVpnChannel, "loadVPNPreference", args.get(), [](ControlPanel* self, const auto& answer) {
      if (!answer.ok()) {
        self->connecting_path_.clear();
        self->ShowError(answer.Describe());
        self->RefreshState();
      }
    });
  });
}

void ControlPanel::Disconnect() {
  Call(kVpnChannel, "disconnect", nullptr, [](ControlPanel* self, const auto& answer) {
    self->ShowError(answer.ok() ? "" : answer.Describe());
  });
}

void ControlPanel::ClearProxy() {
  Call(kVpnChannel, "clearSystemProxy", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    const bool cleared = answer.ok() && value != nullptr &&
                         fl_value_get_type(value) == FL_VALUE_TYPE_BOOL && fl_value_get_bool(value);
    self->Show(self->proxy_label_, "desktop proxy",
               !answer.ok() ? answer.Describe()
               : cleared    ? "off"
                            : "nothing to clear");
  });
}

void ControlPanel::TestLatency() {
  gtk_widget_set_sensitive(latency_button_, FALSE);
  gtk_label_set_text(GTK_LABEL(latency_label_), "testing\u2026");
  // The host's defaults: its connectivity-check URL, 5 s, the "proxy" selector.
  g_autoptr(FlValue) args = fl_value_new_map();
  Call(kVpnChannel, "performUrlTest", args, [](ControlPanel* self, const auto& answer) {
    gtk_widget_set_sensitive(self->latency_button_, TRUE);
    FlValue* value = answer.value.get();
    if (answer.ok() && value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_INT) {
      self->Show(self->latency_label_, "latency", DelayText(fl_value_get_int(value), "failed"));
    } else {
      self->Show(self->latency_label_, "latency", answer.Describe());
    }
    self->QuerySelector();
    self->BuildViews();
    self->nodes_->TestDelays();
  });
}

void ControlPanel::QuerySelector() {
  Call(kVpnChannel, "getAutoSelectorInfo", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    if (!answer.ok() || value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
      self->Show(self->node_label_, "selected node", answer.Describe());
      return;
    }
    std::string text = MapString(value, "selectedTag");
    if (self->tray_ != nullptr) {
      self->tray_->SetNode(text);
    }
    FlValue* latency = fl_value_lookup_string(value, "selectedLatency");
    if (latency != nullptr && fl_value_get_type(latency) == FL_VALUE_TYPE_INT) {
      text += " (" + DelayText(fl_value_get_int(latency), "untested") + ")";
    }
    self->Show(self->node_label_, "selected node", text);
  });
}

void ControlPanel::CheckPrivileges() {
  Call(kVpnChannel, "checkAdminPrivileges", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    if (!answer.ok() || value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_BOOL) {
      self->Show(self->privileges_label_, "network access", answer.Describe());
      return;
    }
    self->Show(self->privileges_label_, "network access",
               fl_value_get_bool(value) ? "granted" : "not granted");
  });
}

void ControlPanel::GrantAccess() {
  gtk_label_set_text(GTK_LABEL(privileges_label_), "asking for network access\u2026");
  Call(kVpnChannel, "requestAdminPrivileges", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    if (answer.ok() && value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_BOOL &&
        !fl_value_get_bool(value)) {
      self->Show(self->privileges_label_, "network access", "the request was refused or failed");
      return;
    }
    if (!answer.ok()) {
      self->Show(self->privileges_label_, "network access", answer.Describe());
      return;
    }
    self->CheckPrivileges();
  });
}

void ControlPanel::Restart() {
  // A restart ends the connection and the window: asked first, with staying as the default.
  GtkWidget* toplevel = gtk_widget_get_toplevel(card_);
  GtkWidget* dialog = gtk_message_dialog_new(
      gtk_widget_is_toplevel(toplevel) ? GTK_WINDOW(toplevel) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "Restart Korvane now?");
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog),
                                           "The connection stops while the application restarts.");
  gtk_dialog_add_buttons(GTK_DIALOG(dialog), "_Cancel", GTK_RESPONSE_CANCEL, "_Restart",
                         GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  gtk_window_set_title(GTK_WINDOW(dialog), "Restart Korvane");
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
                     ControlPanel* self = static_cast<ControlPanel*>(data);
                     gtk_widget_destroy(GTK_WIDGET(d));
                     if (response != GTK_RESPONSE_ACCEPT) {
                       g_print("[Panel] restart: cancelled\n");
                       return;
                     }
                     self->Call(kVpnChannel, "restartApp", nullptr,
                                [](ControlPanel* panel, const auto& answer) {
                                  panel->Show(panel->privileges_label_, "restart",
                                              answer.ok() ? "restarting" : answer.Describe());
                                });
                   }),
                   this);
  g_signal_connect_object(card_, "destroy", G_CALLBACK(gtk_widget_destroy), dialog,
                          G_CONNECT_SWAPPED);
  gtk_widget_show(dialog);
}

void ControlPanel::CheckCrashLogs() {
  Call(kVpnChannel, "checkForCrashLogs", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    if (!answer.ok()) {
      self->Show(self->crash_label_, "crash report", answer.Describe());
      return;
    }
    if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
      // Nothing new; a report shown earlier stays.
      return;
    }
    std::string text = MapString(value, "summary");
    FlValue* lines = fl_value_lookup_string(value, "lastLogs");
    if (lines != nullptr && fl_value_get_type(lines) == FL_VALUE_TYPE_LIST &&
        fl_value_get_length(lines) > 0) {
      text += "\nLast lines of its log:";
      for (size_t i = 0; i < fl_value_get_length(lines); i++) {
        text += "\n  " + StringOf(fl_value_get_list_value(lines, i));
      }
    }
    self->Show(self->crash_label_, "crash report", text);
  });
}

}  // namespace

// The panel is built into the embedding's library: every view of it shows the panel.
__attribute__((constructor)) static void control_panel_register() {
  fl_view_set_ui_factory(control_panel_new);
  PanelStart::InstallGate(+[]() { return !PanelDisabled(); });
}

GtkWidget* control_panel_new(FlBridgeMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(messenger), nullptr);
  if (PanelDisabled()) {
    return nullptr;
  }
  const gchar* bridge_path = fl_bridge_messenger_get_socket_path(messenger);
  if (bridge_path == nullptr) {
    // Another host may hold the bridge: then this launch only brings that host's window up.
    // Nothing of this host has started yet (its VPN controller comes after the view), so there
    // is nothing to shut down, and an exit through the application would run its shut-down.
    g_autofree gchar* served_path = fl_ui_bridge_default_socket_path();
    if (PanelAskRunningHostToPresent(served_path)) {
      g_printerr("[Panel] Korvane is already running; its window was brought to the front.\n");
      fflush(stdout);
      fflush(stderr);
      _exit(0);
    }
  }
  // Owned by its widget (freed when the widget is).
  ControlPanel* panel = new ControlPanel(messenger);
  GtkWidget* widget = panel->widget();
  if (bridge_path != nullptr) {
    auto* server = new PanelPresentServer(bridge_path, [widget]() {
      GtkWidget* window = gtk_widget_get_toplevel(widget);
      if (GTK_IS_WINDOW(window)) {
        gtk_widget_show(window);
        gtk_window_present(GTK_WINDOW(window));
      }
      g_print("[Panel] window: brought to the front for a second launch\n");
    });
    g_object_set_data_full(G_OBJECT(widget), "korvane-panel-present-server", server,
                           [](gpointer data) { delete static_cast<PanelPresentServer*>(data); });
  }
  return widget;
}
