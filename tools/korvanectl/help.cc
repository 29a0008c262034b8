#include "tools/korvanectl/help.h"

#include <algorithm>

#include "vpn/protocol/ui_protocol.h"

namespace korvane::ctl {

namespace protocol = korvane::protocol;

std::string UsageText(const std::string& socket_path) {
  std::string text =
      "usage: korvanectl call METHOD [ARGS] [--field KEY=VALUE]... [--string VALUE]\n"
      "                       [--channel vpn|core] [--timeout SECONDS] [--events]\n"
      "                       [--until STATUS[,STATUS...]] [--unlisted]\n"
      "       korvanectl events [--json]\n"
      "       korvanectl hello\n"
      "       korvanectl help [METHOD] | --help\n"
      "\n"
      "Plays the user interface against a running korvane over its UI socket:\n"
      "KORVANE_UI_SOCKET, else $XDG_RUNTIME_DIR/korvane/ui.sock, else /tmp/korvane-UID/ui.sock\n"
      "(now: " +
      socket_path +
      "). The socket's directory and the server must be this user's.\n"
      "The host serves one client at a time.\n"
      "\n"
      "call sends METHOD on its channel. ARGS is JSON text, @FILE (JSON read from FILE) or -\n"
      "(JSON from standard input). --field KEY=VALUE sets KEY of the map argument to the\n"
      "string VALUE, @FILE (the file's contents) or - (standard input); --string VALUE makes\n"
      "the whole argument that string (same forms). --events prints the events that came\n"
      "during the call after its answer; --until waits for an event with one of these\n"
      "statuses that ends the call's own transition (a reconnect ends at vpn_connected, not\n"
      "at the vpn_disconnected in between; a failed connect ends at the vpn_disconnected\n"
      "after its vpn_error, with exit status 1). --timeout limits the whole command\n"
      "(default: no limit). --unlisted sends a method that is not in the reference below.\n"
      "events prints where things stand (the host repeats its state), then every change, until\n"
      "interrupted: one line per event, TIME STATUS [ERROR], or its JSON with --json.\n"
      "hello prints the host's hello.\n"
      "\n"
      "Output of call: one JSON object on standard output per answer,\n"
      "  {\"ok\":true,\"value\":VALUE} or {\"ok\":false,\"code\":CODE,\"message\":TEXT,"
      "\"details\":null};\n"
      "a method the host lacks answers code NOT_IMPLEMENTED. Values documented as JSON text\n"
      "are printed decoded. Then, with --events or --until, one JSON line per event.\n"
      "Diagnostics go to standard error.\n"
      "\n"
      "Exit status: 0 success; 1 error answer (or an error event during --until); 2 bad\n"
      "usage; 3 no host (none at the socket, not this user's, or gone before answering);\n"
      "4 host busy with another client; 5 timeout; 6 the host lacks the method.\n"
      "\n"
      "Methods (korvanectl help METHOD for arguments, answer and errors):\n";
  for (const protocol::Method& method : protocol::Methods()) {
    std::string name = method.name;
    name.resize(std::max<size_t>(name.size() + 1, 36), ' ');
    text += "  " + name + protocol::ChannelShortName(method.channel) + "  " + method.summary + "\n";
  }
  text += "\nEvents (on " + std::string(protocol::EventChannel()) + "), maps with these keys:\n";
  for (const protocol::Event& event : protocol::Events()) {
    std::string keys;
    for (const protocol::EventKey& key : event.keys) {
      keys += (keys.empty() ? "" : ", ") + std::string(key.key) + " (" + key.type + ")";
    }
    text += std::string("  ") + event.status + ": " + keys + "\n";
  }
  text += "\nEvent order:\n";
  for (const protocol::EventOrder& order : protocol::EventOrders()) {
    text += std::string("  ") + order.situation + ":\n    " + order.statuses + "\n";
  }
  text +=
      "\nExamples:\n"
      "  korvanectl call loadVPNPreference --field config=@examples/mixed.json "
      "--until vpn_connected\n"
      "  korvanectl events --json\n"
      "  korvanectl call performUrlTest '{\"timeout\": 3000}'\n"
      "  korvanectl call disconnect --until vpn_disconnected\n";
  return text;
}

std::string MethodNames() {
  std::string text;
  for (const protocol::Method& method : protocol::Methods()) {
    text += std::string(method.name) + "\n";
  }
  return text;
}

}  // namespace korvane::ctl
