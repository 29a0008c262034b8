// Channel names, events, event orders and the renderings of the reference.

#include "vpn/protocol/ui_protocol.h"

#include <string>

#include "vpn/vpn_channels.h"

namespace korvane::protocol {

const char* ChannelName(ChannelId channel) {
  return channel == ChannelId::kVpn ? kVpnChannelName : kCoreChannelName;
}

const char* ChannelShortName(ChannelId channel) {
  return channel == ChannelId::kVpn ? "vpn" : "core";
}

const char* EventChannel() {
  return kEventChannelName;
}

const char* TimingText(Timing timing) {
  switch (timing) {
    case Timing::kAtOnce:
      return "at once";
    case Timing::kBlocking:
      return "after the engine work, done on the main thread: later calls wait for it";
    case Timing::kThenConnects:
      return "at once, once saved; the connection is then made on the main thread (later calls "
             "wait for it) and reported by events";
    case Timing::kFromWorker:
      return "later, from a worker thread through the main loop; other calls are served "
             "meanwhile";
    case Timing::kThenQuits:
      return "at once; on success the host then quits";
  }
  return "";
}

const std::vector<Event>& Events() {
  static const EventKey kStatus = {"status", "string", "\"vpn_\" followed by the state"};
  static const EventKey kTimestamp = {"timestamp", "int",
                                      "milliseconds since the Unix epoch when it was raised"};
  static const std::vector<Event> events = {
      {"vpn_connecting", "a connection is being made", {kStatus, kTimestamp}},
      {"vpn_connected",
       "the engine runs (and the desktop proxy points at it when asked)",
       {kStatus, kTimestamp}},
      {"vpn_disconnecting", "a running engine is being stopped", {kStatus, kTimestamp}},
      {"vpn_disconnected", "no engine runs", {kStatus, kTimestamp}},
      {"vpn_error",
       "a connection made after the answer failed",
       {{"status", "string", "\"vpn_error\""},
        {"error", "string", "the failure's text, naming its likely cause"},
        kTimestamp}},
  };
  return events;
}

const std::vector<EventOrder>& EventOrders() {
  static const std::vector<EventOrder> orders = {
      {"connect while disconnected (loadVPNPreference, connectForNodeSwitching, doConnectVpn)",
       "vpn_connecting,vpn_connected", "loadVPNPreference has answered true before the first"},
      {"connect while connected (a reconnect)",
       "vpn_connecting,vpn_disconnecting,vpn_disconnected,vpn_connected",
       "the disconnected in between is not the end: wait for connected or an error"},
      {"connect that fails (loadVPNPreference, connectForNodeSwitching)",
       "vpn_connecting,vpn_error,vpn_disconnected",
       "the error event carries the reason; getStatus then answers \"error: \" and it"},
      {"doConnectVpn that fails", "vpn_connecting,vpn_disconnected",
       "the reason is the EXCEPTION answer, not an event"},
      {"disconnect while connected (disconnect, stopVPN, disconnectForNodeSwitching)",
       "vpn_disconnecting,vpn_disconnected", ""},
      {"disconnect while disconnected", "vpn_disconnected", ""},
      {"refreshVPNStatus", "vpn_connected or vpn_disconnected", "the state as it is"},
  };
  return orders;
}

namespace {

std::string Code(const std::string& text) {
  return "`" + text + "`";
}

std::string ErrorMessage(const Error& error) {
  return error.message != nullptr ? "\"" + std::string(error.message) + "\""
                                  : std::string("the failure's text");
}

std::string FieldName(const Field& field) {
  return field.key[0] != '\0' ? Code(std::string("\"") + field.key + "\"") : "the argument";
}

}  // namespace

std::string RenderMethodHelp(const Method& method) {
  std::string text = std::string(method.name) + " (" + ChannelShortName(method.channel) +
                     " channel, " + ChannelName(method.channel) + ")\n  " + method.summary +
                     "\nArgument: " + method.argument + "\n";
  for (const Field& field : method.fields) {
    text += std::string("  ") + (field.key[0] != '\0' ? field.key : "(the argument)") + ": " +
            field.type + (field.required ? ", required: " : ", optional: ") + field.meaning + "\n";
  }
  text += std::string("Answer: ") + method.answer + "\n";
  for (const char* key : method.json_text_keys) {
    text += std::string("  \"") + key + "\" is JSON text; korvanectl prints it decoded\n";
  }
  text += std::string("Answers: ") + TimingText(method.timing) + "\n";
  if (method.events[0] != '\0') {
    text += std::string("Events: ") + method.events + "\n";
  }
  text += "Errors:";
  if (method.errors.empty()) {
    text += " none\n";
  } else {
    text += "\n";
    for (const Error& error : method.errors) {
      text +=
          std::string("  ") + error.code + ": " + ErrorMessage(error) + " (" + error.when + ")\n";
    }
  }
  return text;
}

std::string RenderMarkdown() {
  std::string text = "### Methods\n\n";
  text += "| Method | Channel | Argument | Answer | Answers | Errors (code: message) |\n";
  text += "|---|---|---|---|---|---|\n";
  for (const Method& method : Methods()) {
    std::string argument = method.argument;
    for (const Field& field : method.fields) {
      argument += std::string("; ") + FieldName(field) + " " + field.type +
                  (field.required ? " (required): " : " (optional): ") + field.meaning;
    }
    std::string errors;
    for (const Error& error : method.errors) {
      errors += (errors.empty() ? "" : "; ") + Code(error.code) + ": " + ErrorMessage(error) +
                " (" + error.when + ")";
    }
    std::string answer = method.answer;
    if (method.events[0] != '\0') {
      answer += std::string(". Events: ") + method.events;
    }
    text += "| " + Code(method.name) + " | " + ChannelShortName(method.channel) + " | " + argument +
            " | " + answer + " | " + TimingText(method.timing) + " | " +
            (errors.empty() ? "none" : errors) + " |\n";
  }
  text += "\nChannels: vpn is " + Code(ChannelName(ChannelId::kVpn)) + ", core is " +
          Code(ChannelName(ChannelId::kCore)) + "; events come on " + Code(EventChannel()) +
          ". An unknown method gets the not-implemented answer.\n\n";
  text += "### Events\n\n| Status | Meaning | Keys, in order |\n|---|---|---|\n";
  for (const Event& event : Events()) {
    std::string keys;
    for (const EventKey& key : event.keys) {
      keys += (keys.empty() ? "" : "; ") + Code(std::string("\"") + key.key + "\"") + " " +
              key.type + ": " + key.meaning;
    }
    text += "| " + Code(event.status) + " | " + event.meaning + " | " + keys + " |\n";
  }
  text += "\n### Event order\n\n| Situation | Statuses, in order | Note |\n|---|---|---|\n";
  for (const EventOrder& order : EventOrders()) {
    text +=
        std::string("| ") + order.situation + " | " + order.statuses + " | " + order.note + " |\n";
  }
  return text;
}

}  // namespace korvane::protocol
