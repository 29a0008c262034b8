#include "control_panel/panel_nodes.h"

#include <nlohmann/json.hpp>

#include "vpn/vpn_channels.h"

namespace {

using nlohmann::json;
using ojson = nlohmann::ordered_json;

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
// The controller's synthetic group of every outbound: not a group a person switches.
constexpr char kGlobal[] = "GLOBAL";
constexpr gint64 kTestTimeoutMs = 5000;
// The controller's type of an automatic group.
constexpr char kAutomaticType[] = "URLTest";
constexpr char kCurrentMark[] = "\u25cf";

enum Column { kName, kDelay, kMark, kGroup, kColumns };

}  // namespace

PanelNodes::PanelNodes(PanelChannelClient* client) : client_(client) {
  box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  store_ = gtk_tree_store_new(kColumns, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
  tree_ = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store_));
  g_object_unref(store_);
  gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(tree_), FALSE);
  gtk_tree_view_set_search_column(GTK_TREE_VIEW(tree_), kName);
  gtk_tree_view_set_activate_on_single_click(GTK_TREE_VIEW(tree_), FALSE);
  const struct {
    int column;
    gboolean expand;
  } shown[] = {{kMark, FALSE}, {kName, TRUE}, {kDelay, FALSE}};
  for (const auto& item : shown) {
    GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
    GtkTreeViewColumn* column =
        gtk_tree_view_column_new_with_attributes("", renderer, "text", item.column, nullptr);
    gtk_tree_view_column_set_expand(column, item.expand);
    gtk_tree_view_append_column(GTK_TREE_VIEW(tree_), column);
  }
  g_signal_connect(
      tree_, "row-activated",
      G_CALLBACK(+[](GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer data) {
        GtkTreeModel* model = gtk_tree_view_get_model(view);
        GtkTreeIter iter;
        if (!gtk_tree_model_get_iter(model, &iter, path)) {
          return;
        }
        g_autofree gchar* name = nullptr;
        g_autofree gchar* group = nullptr;
        gtk_tree_model_get(model, &iter, kName, &name, kGroup, &group, -1);
        // A group's own row has no group above it.
        if (group != nullptr && *group != '\0') {
          static_cast<PanelNodes*>(data)->Switch(group, name);
        }
      }),
      this);
  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scroller), 120);
  gtk_container_add(GTK_CONTAINER(scroller), tree_);
  gtk_box_pack_start(GTK_BOX(box_), scroller, TRUE, TRUE, 0);
  status_ = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(status_), 0.0);
  gtk_label_set_line_wrap(GTK_LABEL(status_), TRUE);
  gtk_box_pack_start(GTK_BOX(box_), status_, FALSE, FALSE, 0);
}

void PanelNodes::Load(const PanelController& controller) {
  Clear();
  controller_ = controller;
  if (controller_.empty()) {
    ShowStatus(
        "no controller known: the configuration the panel connected with has none "
        "(experimental.clash_api), or another UI started this connection");
    return;
  }
  Reload();
}

void PanelNodes::Clear() {
  generation_++;
  http_.Cancel();
  testing_ = false;
  controller_ = PanelController();
  groups_.clear();
  history_.clear();
  measured_.clear();
  tested_.clear();
  gtk_tree_store_clear(store_);
  gtk_label_set_text(GTK_LABEL(status_), "");
  g_print("[Panel] nodes: \u2014\n");
}

void PanelNodes::ShowStatus(const std::string& text) {
  gtk_label_set_text(GTK_LABEL(status_), text.c_str());
  g_print("[Panel] node status: %s\n", text.c_str());
}

void PanelNodes::Reload() {
  if (controller_.empty()) {
    return;
  }
  const int generation = generation_;
  http_.Request(controller_, "GET", "/proxies", "",
                [this, generation](const PanelHttp::Reply& reply) {
                  if (generation != generation_) {
                    return;
                  }
                  if (!reply.ok()) {
                    ShowStatus("cannot list the nodes: " + reply.Describe());
                    return;
                  }
                  Fill(reply.body);
                });
}

void PanelNodes::Fill(const std::string& body) {
  // The controller lists the groups in the configuration's order: so does the view.
  const ojson parsed = ojson::parse(body, nullptr, false);
  const ojson* proxies = nullptr;
  if (parsed.is_object() && parsed.contains("proxies") && parsed["proxies"].is_object()) {
    proxies = &parsed["proxies"];
  }
  if (proxies == nullptr) {
    ShowStatus("the controller's node list is unreadable");
    return;
  }
  groups_.clear();
  history_.clear();
  for (auto it = proxies->begin(); it != proxies->end(); ++it) {
    const ojson& proxy = it.value();
    if (!proxy.is_object()) {
      continue;
    }
    const ojson history = proxy.value("history", ojson::array());
    if (history.is_array() && !history.empty() && history.back().is_object()) {
      const ojson delay = history.back().value("delay", ojson());
      if (delay.is_number_integer() && delay.get<long>() > 0) {
        history_[it.key()] = delay.get<long>();
      }
    }
    const ojson all = proxy.value("all", ojson());
    if (it.key() == kGlobal || !all.is_array()) {
      continue;
    }
    Group group;
    group.name = it.key();
    group.type = proxy.value("type", "");
    const ojson now = proxy.value("now", ojson());
    group.now = now.is_string() ? now.get<std::string>() : "";
    for (const ojson& member : all) {
      if (member.is_string()) {
        group.members.push_back(member.get<std::string>());
      }
    }
    groups_.push_back(std::move(group));
  }
  Render();
}

std::string PanelNodes::DelayText(const std::string& member) const {
  // Never the controller's or the host's "-1": a delay, or why there is none.
  auto measured = measured_.find(member);
  if (measured != measured_.end()) {
    return std::to_string(measured->second) + " ms";
  }
  auto kept = history_.find(member);
  if (kept != history_.end()) {
    return std::to_string(kept->second) + " ms";
  }
  return tested_.count(member) != 0 ? "failed" : "untested";
}

void PanelNodes::Render() {
  gtk_tree_store_clear(store_);
  std::string line;
  for (const Group& group : groups_) {
    GtkTreeIter parent;
    gtk_tree_store_insert_with_values(store_, &parent, nullptr, -1, kName, group.name.c_str(),
                                      kDelay, group.type.c_str(), kMark, "", kGroup, "", -1);
    line += (line.empty() ? "" : "; ") + group.name + ":";
    bool first = true;
    for (const std::string& member : group.members) {
      const bool current = member == group.now;
      const std::string delay = DelayText(member);
      gtk_tree_store_insert_with_values(store_, nullptr, &parent, -1, kName, member.c_str(), kDelay,
                                        delay.c_str(), kMark, current ? kCurrentMark : "", kGroup,
                                        group.name.c_str(), -1);
      line += std::string(first ? " " : ", ") + member + " (" + delay + ")" + (current ? "*" : "");
      first = false;
    }
  }
  gtk_tree_view_expand_all(GTK_TREE_VIEW(tree_));
  g_print("[Panel] nodes: %s\n", line.empty() ? "none" : line.c_str());
}

void PanelNodes::Switch(const std::string& group, const std::string& member) {
  if (controller_.empty()) {
    return;
  }
  const int generation = generation_;
  const std::string body = json{{"name", member}}.dump();
  http_.Request(controller_, "PUT", "/proxies/" + PanelHttp::Segment(group), body,
                [this, generation, group, member](const PanelHttp::Reply& reply) {
                  if (generation != generation_) {
                    return;
                  }
                  ShowStatus(group + " \u2192 " + member + ": " +
                             (reply.ok() ? std::string("switched") : reply.Describe()));
                  Reload();
                });
}

void PanelNodes::TestDelays() {
  if (controller_.empty() || testing_ || groups_.empty()) {
    return;
  }
  testing_ = true;
  ShowStatus("testing\u2026");
  TestGroup(0, generation_);
}

void PanelNodes::TestGroup(size_t index, int generation) {
  if (generation != generation_) {
    return;
  }
  if (index >= groups_.size()) {
    testing_ = false;
    ShowStatus("tested");
    Reload();
    return;
  }
  // Measured afresh: a delay from before does not stand for a member that fails now.
  for (const std::string& member : groups_[index].members) {
    measured_.erase(member);
  }
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "selectorTag", fl_value_new_string(groups_[index].name.c_str()));
  fl_value_set_string_take(args, "timeout", fl_value_new_int(kTestTimeoutMs));
  client_->Invoke(
      kVpnChannel, "performUrlTest", args,
      [this, index, generation](const PanelChannelClient::Answer& answer) {
        if (generation != generation_) {
          return;
        }
        if (index >= groups_.size()) {
          // The list was read again meanwhile: what is left is done.
          TestGroup(index, generation);
          return;
        }
        FlValue* value = answer.value.get();
        if (answer.ok() && value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_INT &&
            fl_value_get_int(value) > 0 && !groups_[index].now.empty()) {
          measured_[groups_[index].now] = fl_value_get_int(value);
        }
        g_autoptr(FlValue) info_args = fl_value_new_map();
        fl_value_set_string_take(info_args, "selectorTag",
                                 fl_value_new_string(groups_[index].name.c_str()));
        client_->Invoke(
            kVpnChannel, "getAutoSelectorInfo", info_args,
            [this, index, generation](const PanelChannelClient::Answer& info) {
              if (generation != generation_) {
                return;
              }
              if (index >= groups_.size()) {
                TestGroup(index, generation);
                return;
              }
              FlValue* map = info.value.get();
              if (info.ok() && map != nullptr && fl_value_get_type(map) == FL_VALUE_TYPE_MAP) {
                FlValue* tag = fl_value_lookup_string(map, "selectedTag");
                FlValue* delay = fl_value_lookup_string(map, "selectedLatency");
                if (tag != nullptr && fl_value_get_type(tag) == FL_VALUE_TYPE_STRING &&
                    delay != nullptr && fl_value_get_type(delay) == FL_VALUE_TYPE_INT &&
                    fl_value_get_int(delay) > 0) {
                  measured_[fl_value_get_string(tag)] = fl_value_get_int(delay);
                }
                FlValue* all = fl_value_lookup_string(map, "allLatencies");
                const json table =
                    json::parse(all != nullptr && fl_value_get_type(all) == FL_VALUE_TYPE_STRING
                                    ? fl_value_get_string(all)
                                    : "",
                                nullptr, false);
                if (table.is_object()) {
                  for (auto it = table.begin(); it != table.end(); ++it) {
                    if (it.value().is_number_integer() && it.value().get<long>() > 0) {
                      measured_[it.key()] = it.value().get<long>();
                    }
                  }
                }
              }
              // The host measures the member a group uses, and an automatic group measures all
              // of its own: only those count as tested.
              const Group& group = groups_[index];
              if (!group.now.empty()) {
                tested_.insert(group.now);
              }
              if (group.type == kAutomaticType) {
                tested_.insert(group.members.begin(), group.members.end());
              }
              TestGroup(index + 1, generation);
            });
      });
}
