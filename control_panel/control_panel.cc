#include "control_panel/control_panel.h"

#include <cstring>
#include <memory>
#include <string>

#include "control_panel/panel_channel_client.h"
#include "control_panel/panel_hand_over.h"
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
    ".korvane-state-connecting, .korvane-state-disconnecting { background-color: #b7791f; }"
    ".korvane-state-connected { background-color: #1e8e3e; }"
    ".korvane-state-unknown { background-color: #44546a; }"
    ".korvane-error { background-color: #fde8e8; color: #b3261e; padding: 6px 10px;"
    "  border-radius: 6px; }"
    ".korvane-note { color: #57606a; }"
    ".korvane-attached { background-color: #ddeeff; color: #0b3d91; padding: 6px 10px;"
    "  border-radius: 6px; }";

const char* const kStates[] = {"disconnected", "connecting", "connected", "disconnecting",
                               "unknown"};

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
  ControlPanel(const ControlPanel&) = delete;
  ControlPanel& operator=(const ControlPanel&) = delete;

  GtkWidget* widget() const { return card_; }

 private:
  void Build();
  GtkWidget* AddRow(const char* heading, GtkWidget* content);
  GtkWidget* NewButton(const char* mnemonic, void (ControlPanel::*action)());

  // The channels are ours (true) or handed over to an attached UI (false).
  void SetActive(bool active);
  void Refresh();
  void OnEvent(FlValue* event, const std::string& error);

  void SetState(const std::string& state);
  void ShowError(const std::string& text);
  void Show(GtkWidget* label, const char* key, const std::string& text);

  void ChooseFile();
  void Connect();
  void Disconnect();
  void ClearProxy();
  void TestLatency();
  void QuerySelector();
  void CheckPrivileges();
  void GrantAccess();
  void Restart();
  void CheckCrashLogs();

  // Runs @then with the answer if the panel still exists; the panel lives as long as its card.
  template <typename Then>
  void Call(const char* channel, const char* method, FlValue* args, Then then) {
    client_->Invoke(channel, method, args,
                    [this, then](const PanelChannelClient::Answer& a) { then(this, a); });
  }

  std::unique_ptr<PanelChannelClient> client_;
  std::unique_ptr<PanelHandOver> hand_over_;
  bool listening_ = false;
  std::string state_class_;
  // The last error shown ("" when none).
  std::string error_text_;
  bool asked_for_crash_report_ = false;

  GtkWidget* card_ = nullptr;
  GtkWidget* grid_ = nullptr;
  int rows_ = 0;
  GtkWidget* attached_label_ = nullptr;
  GtkWidget* state_label_ = nullptr;
  GtkWidget* version_label_ = nullptr;
  GtkWidget* error_label_ = nullptr;
  GtkWidget* path_entry_ = nullptr;
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
    : client_(std::make_unique<PanelChannelClient>(messenger)) {
  Build();
  SetState("unknown");
  Show(attached_label_, "channels", "waiting for the host");
  hand_over_ =
      std::make_unique<PanelHandOver>(messenger, [this](bool active) { SetActive(active); });
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

  card_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
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

  GtkWidget* actions = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(actions), NewButton("_Connect", &ControlPanel::Connect), FALSE, FALSE,
                     0);
  gtk_box_pack_start(GTK_BOX(actions), NewButton("_Disconnect", &ControlPanel::Disconnect), FALSE,
                     FALSE, 0);
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
  // The panel goes with its card, before the card's widgets are gone: no answer reaches it
  // after that.
  g_signal_connect(card_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                     delete static_cast<ControlPanel*>(data);
                   }),
                   this);
}

void ControlPanel::Show(GtkWidget* label, const char* key, const std::string& text) {
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  g_print("[Panel] %s: %s\n", key, text.c_str());
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
}

void ControlPanel::SetActive(bool active) {
  gtk_widget_set_sensitive(controls_, active);
  if (!active) {
    // One UI at a time: the attached client has the channels now.
    if (listening_) {
      client_->Cancel(kEventsChannel);
      listening_ = false;
    }
    // From here on the state is the attached UI's to follow.
    SetState("unknown");
    gtk_style_context_add_class(gtk_widget_get_style_context(attached_label_), "korvane-attached");
    Show(attached_label_, "channels",
         "handed over: a UI is attached over the bridge; the panel sends nothing until it leaves");
    return;
  }
  gtk_style_context_remove_class(gtk_widget_get_style_context(attached_label_), "korvane-attached");
  Show(attached_label_, "channels", "taken: no UI is attached, the panel drives the host");
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
  Call(kVpnChannel, "getStatus", nullptr, [](ControlPanel* self, const auto& answer) {
    const std::string status = StringOf(answer.value.get());
    if (!answer.ok()) {
      self->SetState("unknown");
      self->ShowError("getStatus: " + answer.Describe());
    } else if (g_str_has_prefix(status.c_str(), kErrorPrefix)) {
      self->SetState("disconnected");
      self->ShowError(status.substr(strlen(kErrorPrefix)));
    } else {
      self->SetState(status);
    }
  });
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

void ControlPanel::OnEvent(FlValue* event, const std::string& error) {
  if (event == nullptr) {
    ShowError("event stream: " + error);
    return;
  }
  const std::string status = MapString(event, kStatusKey);
  if (status == kErrorStatus) {
    ShowError(MapString(event, kErrorKey));
    return;
  }
  if (!g_str_has_prefix(status.c_str(), kStatusPrefix)) {
    return;
  }
  const std::string state = status.substr(strlen(kStatusPrefix));
  if (state == "connecting") {
    ShowError("");
  }
  SetState(state);
  if (state == "connected") {
    QuerySelector();
  }
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
  g_autofree gchar* typed = g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(path_entry_))));
  if (g_file_test(typed, G_FILE_TEST_IS_DIR)) {
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), typed);
  } else if (g_file_test(typed, G_FILE_TEST_IS_REGULAR)) {
    gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), typed);
  }
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
                     ControlPanel* self = static_cast<ControlPanel*>(data);
                     if (response == GTK_RESPONSE_ACCEPT) {
                       g_autofree gchar* path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
                       if (path != nullptr) {
                         gtk_entry_set_text(GTK_ENTRY(self->path_entry_), path);
                         g_print("[Panel] configuration: %s\n", path);
                       }
                     }
                     gtk_widget_destroy(GTK_WIDGET(d));
                   }),
                   this);
  // The dialog must not outlive the panel that it reports to.
  g_signal_connect_object(card_, "destroy", G_CALLBACK(gtk_widget_destroy), dialog,
                          G_CONNECT_SWAPPED);
  gtk_widget_show(dialog);
}

void ControlPanel::Connect() {
  g_autofree gchar* path = g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(path_entry_))));
  if (path[0] == '\0') {
    ShowError("Choose a configuration file first");
    return;
  }
  g_autofree gchar* text = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, &error)) {
    ShowError(std::string("Cannot read the configuration: ") + error->message);
    return;
  }
  ShowError("");
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "config", fl_value_new_string(text));
  fl_value_set_string_take(args, "autoConfigureProxy",
                           fl_value_new_bool(gtk_switch_get_active(GTK_SWITCH(proxy_switch_))));
  g_print("[Panel] connect: %s\n", path);
  Call(kVpnChannel, "loadVPNPreference", args, [](ControlPanel* self, const auto& answer) {
    if (!answer.ok()) {
      self->ShowError(answer.Describe());
    }
  });
}

void ControlPanel::Disconnect() {
  Call(kVpnChannel, "disconnect", nullptr, [](ControlPanel* self, const auto& answer) {
    if (!answer.ok()) {
      self->ShowError(answer.Describe());
    }
  });
}

void ControlPanel::ClearProxy() {
  Call(kVpnChannel, "clearSystemProxy", nullptr, [](ControlPanel* self, const auto& answer) {
    FlValue* value = answer.value.get();
    const bool cleared = answer.ok() && value != nullptr &&
                         fl_value_get_type(value) == FL_VALUE_TYPE_BOOL && fl_value_get_bool(value);
    self->Show(self->proxy_label_, "desktop proxy",
               !answer.ok() ? answer.Describe()
               : cleared    ? "cleared"
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
      self->Show(self->latency_label_, "latency", std::to_string(fl_value_get_int(value)) + " ms");
    } else {
      self->Show(self->latency_label_, "latency", answer.Describe());
    }
    self->QuerySelector();
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
    FlValue* latency = fl_value_lookup_string(value, "selectedLatency");
    if (latency != nullptr && fl_value_get_type(latency) == FL_VALUE_TYPE_INT) {
      text += " (" + std::to_string(fl_value_get_int(latency)) + " ms)";
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
  Call(kVpnChannel, "restartApp", nullptr, [](ControlPanel* self, const auto& answer) {
    self->Show(self->privileges_label_, "restart", answer.ok() ? "restarting" : answer.Describe());
  });
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
}

GtkWidget* control_panel_new(FlBridgeMessenger* messenger) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(messenger), nullptr);
  if (PanelDisabled()) {
    return nullptr;
  }
  // Owned by its widget (freed when the widget is).
  ControlPanel* panel = new ControlPanel(messenger);
  return panel->widget();
}
