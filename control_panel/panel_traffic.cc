#include "control_panel/panel_traffic.h"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

constexpr guint kConnectionsPollMs = 1000;

// A byte rate as a person reads it, in plain ASCII for whoever follows the output.
std::string Rate(long long bytes) {
  char text[32];
  if (bytes < 1000) {
    g_snprintf(text, sizeof(text), "%lld B/s", bytes < 0 ? 0 : bytes);
  } else if (bytes < 1000 * 1000) {
    g_snprintf(text, sizeof(text), "%.1f kB/s", bytes / 1000.0);
  } else {
    g_snprintf(text, sizeof(text), "%.1f MB/s", bytes / 1e6);
  }
  return text;
}

}  // namespace

PanelTraffic::PanelTraffic() {
  box_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  speed_label_ = gtk_label_new("\u2014");
  connections_label_ = gtk_label_new("");
  gtk_box_pack_start(GTK_BOX(box_), speed_label_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box_), connections_label_, FALSE, FALSE, 0);
}

PanelTraffic::~PanelTraffic() {
  g_clear_handle_id(&poll_source_, g_source_remove);
}

void PanelTraffic::Follow(const PanelController& controller) {
  Clear();
  controller_ = controller;
  if (controller_.empty()) {
    return;
  }
  const int generation = generation_;
  http_.Stream(controller_, "/traffic", [this, generation](const std::string& line) {
    if (generation == generation_) {
      OnTraffic(line);
    }
  });
  poll_source_ = g_timeout_add(kConnectionsPollMs, PollCb, this);
  PollConnections();
}

void PanelTraffic::Clear() {
  generation_++;
  http_.Cancel();
  g_clear_handle_id(&poll_source_, g_source_remove);
  asking_ = false;
  controller_ = PanelController();
  ShowSpeed("\u2014");
  ShowConnections("\u2014");
}

gboolean PanelTraffic::PollCb(gpointer data) {
  static_cast<PanelTraffic*>(data)->PollConnections();
  return G_SOURCE_CONTINUE;
}

void PanelTraffic::PollConnections() {
  // One question at a time: a slow controller is not asked again before it answered.
  if (asking_ || controller_.empty()) {
    return;
  }
  asking_ = true;
  const int generation = generation_;
  http_.Request(controller_, "GET", "/connections", "",
                [this, generation](const PanelHttp::Reply& reply) {
                  if (generation != generation_) {
                    return;
                  }
                  asking_ = false;
                  const json parsed = json::parse(reply.body, nullptr, false);
                  if (!reply.ok() || !parsed.is_object()) {
                    ShowConnections("unknown (" + reply.Describe() + ")");
                    return;
                  }
                  const json list = parsed.value("connections", json());
                  ShowConnections(std::to_string(list.is_array() ? list.size() : 0));
                });
}

void PanelTraffic::OnTraffic(const std::string& line) {
  const json reading = json::parse(line, nullptr, false);
  if (!reading.is_object()) {
    return;
  }
  const json up = reading.value("up", json());
  const json down = reading.value("down", json());
  if (!up.is_number_integer() || !down.is_number_integer()) {
    return;
  }
  ShowSpeed("up " + Rate(up.get<long long>()) + ", down " + Rate(down.get<long long>()));
}

void PanelTraffic::ShowSpeed(const std::string& text) {
  if (text == speed_) {
    return;
  }
  speed_ = text;
  gtk_label_set_text(GTK_LABEL(speed_label_), text.c_str());
  g_print("[Panel] speed: %s\n", text.c_str());
}

void PanelTraffic::ShowConnections(const std::string& text) {
  if (text == connections_) {
    return;
  }
  connections_ = text;
  gtk_label_set_text(GTK_LABEL(connections_label_), ("connections: " + text).c_str());
  g_print("[Panel] connections: %s\n", text.c_str());
}
