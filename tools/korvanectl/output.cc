#include "tools/korvanectl/output.h"

#include <time.h>

#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace korvane::ctl {

std::string Dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json AnswerJson(const BridgeClient::Response& response,
                          const korvane::protocol::Method* method,
                          const std::string& method_name,
                          const std::string& channel) {
  if (response.status == BridgeClient::Status::kSuccess) {
    nlohmann::json value = ValueToJson(response.result.get());
    if (method != nullptr && value.is_object()) {
      for (const char* key : method->json_text_keys) {
        auto found = value.find(key);
        if (found != value.end() && found->is_string()) {
          nlohmann::json decoded = nlohmann::json::parse(found->get<std::string>(), nullptr, false);
          if (!decoded.is_discarded()) {
            *found = std::move(decoded);
          }
        }
      }
    }
    return {{"ok", true}, {"value", std::move(value)}};
  }
  if (response.status == BridgeClient::Status::kError) {
    return {{"ok", false},
            {"code", response.code},
            {"message", response.message},
            {"details", ValueToJson(response.details.get())}};
  }
  return {{"ok", false},
          {"code", "NOT_IMPLEMENTED"},
          {"message", "the host has no method " + method_name + " on " + channel},
          {"details", nullptr}};
}

std::string EventStatus(const BridgeClient::Event& event) {
  FlValue* value = event.value.get();
  if (event.kind != BridgeClient::Event::Kind::kData || value == nullptr ||
      fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
    return "";
  }
  FlValue* status = fl_value_lookup_string(value, kEventStatusKey);
  return status != nullptr && fl_value_get_type(status) == FL_VALUE_TYPE_STRING
             ? fl_value_get_string(status)
             : "";
}

namespace {

// "YYYY-MM-DD HH:MM:SS" local time of an event's timestamp (milliseconds), or "-".
std::string EventTime(FlValue* value) {
  FlValue* stamp = fl_value_lookup_string(value, kEventTimestampKey);
  if (stamp == nullptr || fl_value_get_type(stamp) != FL_VALUE_TYPE_INT) {
    return "-";
  }
  const time_t seconds = static_cast<time_t>(fl_value_get_int(stamp) / 1000);
  struct tm local = {};
  char text[32];
  if (localtime_r(&seconds, &local) == nullptr ||
      strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "-";
  }
  return text;
}

}  // namespace

std::string EventLine(const BridgeClient::Event& event, bool json) {
  nlohmann::json line;
  switch (event.kind) {
    case BridgeClient::Event::Kind::kData:
      line = ValueToJson(event.value.get());
      break;
    case BridgeClient::Event::Kind::kError:
      line = {{"error",
               {{"code", event.code},
                {"message", event.message},
                {"details", ValueToJson(event.details.get())}}}};
      break;
    case BridgeClient::Event::Kind::kEndOfStream:
      line = {{"endOfStream", true}};
      break;
  }
  if (json) {
    return Dump(line);
  }
  const std::string status = EventStatus(event);
  if (status.empty()) {
    return Dump(line);
  }
  std::string text = EventTime(event.value.get()) + " " + status;
  FlValue* error = fl_value_lookup_string(event.value.get(), kEventErrorKey);
  if (error != nullptr && fl_value_get_type(error) == FL_VALUE_TYPE_STRING) {
    text += std::string(" ") + fl_value_get_string(error);
  }
  return text;
}

}  // namespace korvane::ctl
