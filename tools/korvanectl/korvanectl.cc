// korvanectl: plays the Dart UI against a running host over its UI bridge.
//
//   korvanectl call METHOD [ARGS-JSON] [--channel vpn|core] [--events] [--until STATUS,...]
//   korvanectl events
//   korvanectl hello
//
// Exit status: 0 success, 1 error response (or bad usage), 2 not implemented, 3 no host (also
// a socket refused because its directory or its server belongs to another user).

#include <signal.h>
#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/korvanectl/bridge_client.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace {

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr const char* kCoreChannel = korvane::kCoreChannelName;
constexpr const char* kEventChannel = korvane::kEventChannelName;

constexpr int kExitSuccess = 0;
constexpr int kExitError = 1;
constexpr int kExitNotImplemented = 2;
constexpr int kExitNoHost = 3;

// The hello comes at once from a live host; a socket that accepts but says nothing is not one.
constexpr int kHelloTimeoutMs = 5000;

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
  interrupted = 1;
}

std::string Dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int Usage() {
  fprintf(stderr,
          "usage: korvanectl call METHOD [ARGS-JSON] [--channel vpn|core] [--timeout SECONDS]\n"
          "                       [--events] [--until STATUS[,STATUS...]]\n"
          "       korvanectl events\n"
          "       korvanectl hello\n"
          "The host's socket: KORVANE_UI_SOCKET, else $XDG_RUNTIME_DIR/korvane/ui.sock, else\n"
          "/tmp/korvane-<uid>/ui.sock (now: %s).\n"
          "--events listens on the event channel during the call and prints its events as JSON\n"
          "lines after the answer; --until keeps printing until an event with one of these\n"
          "statuses (e.g. vpn_connected,vpn_disconnected). The host serves one client at a\n"
          "time, so this is how a call and its events are seen together.\n"
          "The socket's directory and the server must be this user's; others are refused.\n"
          "Exit status: 0 success, 1 error response, 2 not implemented, 3 no host (or one\n"
          "refused).\n",
          korvane::BridgeClient::DefaultSocketPath().c_str());
  return kExitError;
}

bool ConnectToHost(korvane::BridgeClient* client) {
  std::string path = korvane::BridgeClient::DefaultSocketPath();
  std::string error;
  if (!client->ConnectSocket(path, &error)) {
    // A socket that is not safely ours counts as no host: nothing was sent to it.
    fprintf(stderr, "korvanectl: %s\n", error.c_str());
    return false;
  }
  if (!client->ReadHello(kHelloTimeoutMs, &error)) {
    // The host serves one UI at a time and closes any other connection at once.
    fprintf(stderr,
            "korvanectl: the host at %s did not accept the connection (%s); is another client "
            "such as 'korvanectl events' connected?\n",
            path.c_str(), error.c_str());
    return false;
  }
  return true;
}

int ExitForFailure(const korvane::BridgeClient::Response& response) {
  fprintf(stderr, "korvanectl: %s: %s\n", korvane::StatusName(response.status),
          response.failure.c_str());
  return response.status == korvane::BridgeClient::Status::kClosed ? kExitNoHost : kExitError;
}

int PrintResponse(const korvane::BridgeClient::Response& response,
                  const std::string& method,
                  const std::string& channel);

// One event as the JSON line that 'events' prints.
std::string EventLine(const korvane::BridgeClient::Event& event) {
  nlohmann::json line;
  switch (event.kind) {
    case korvane::BridgeClient::Event::Kind::kData:
      line = korvane::ValueToJson(event.value.get());
      break;
    case korvane::BridgeClient::Event::Kind::kError:
      line = {{"error",
               {{"code", event.code},
                {"message", event.message},
                {"details", korvane::ValueToJson(event.details.get())}}}};
      break;
    case korvane::BridgeClient::Event::Kind::kEndOfStream:
      line = {{"endOfStream", true}};
      break;
  }
  return Dump(line);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    items.push_back(text.substr(start, comma - start));
  }
  items.push_back(text.substr(start));
  return items;
}

// Prints the events queued so far and, when |until| is not empty, those that follow until one
// whose "status" is listed. Returns false when the stream ended first.
bool PrintEvents(korvane::BridgeClient* client,
                 const std::vector<std::string>& until,
                 int timeout_ms) {
  constexpr int kStepMs = 200;
  int waited_ms = 0;
  while (!interrupted) {
    korvane::BridgeClient::Event event;
    std::string error;
    korvane::BridgeClient::Status status =
        client->NextEvent(until.empty() ? 0 : kStepMs, &event, &error);
    if (status == korvane::BridgeClient::Status::kTimeout) {
      if (until.empty()) {
        return true;
      }
      waited_ms += kStepMs;
      if (timeout_ms >= 0 && waited_ms >= timeout_ms) {
        fprintf(stderr, "korvanectl: no event with status %s in time\n", until[0].c_str());
        return false;
      }
      continue;
    }
    if (status != korvane::BridgeClient::Status::kSuccess) {
      fprintf(stderr, "korvanectl: %s %s\n", korvane::StatusName(status), error.c_str());
      return false;
    }
    printf("%s\n", EventLine(event).c_str());
    fflush(stdout);
    if (event.kind == korvane::BridgeClient::Event::Kind::kEndOfStream) {
      return false;
    }
    FlValue* value = event.value.get();
    FlValue* state = value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_MAP
                         ? fl_value_lookup_string(value, "status")
                         : nullptr;
    if (state != nullptr && fl_value_get_type(state) == FL_VALUE_TYPE_STRING) {
      for (const std::string& wanted : until) {
        if (wanted == fl_value_get_string(state)) {
          return true;
        }
      }
    }
  }
  return false;
}

int RunCall(const std::vector<std::string>& args) {
  std::string method;
  std::string args_json;
  std::string channel = kVpnChannel;
  int timeout_ms = -1;
  bool with_events = false;
  std::vector<std::string> until;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--channel" && i + 1 < args.size()) {
      const std::string& name = args[++i];
      if (name == "vpn") {
        channel = kVpnChannel;
      } else if (name == "core") {
        channel = kCoreChannel;
      } else {
        fprintf(stderr, "korvanectl: unknown channel '%s' (vpn or core)\n", name.c_str());
        return kExitError;
      }
    } else if (args[i] == "--timeout" && i + 1 < args.size()) {
      timeout_ms = atoi(args[++i].c_str()) * 1000;
    } else if (args[i] == "--events") {
      with_events = true;
    } else if (args[i] == "--until" && i + 1 < args.size()) {
      with_events = true;
      until = SplitList(args[++i]);
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.empty() || positional.size() > 2) {
    return Usage();
  }
  method = positional[0];
  korvane::FlValuePtr call_args;
  if (positional.size() == 2) {
    nlohmann::json parsed = nlohmann::json::parse(positional[1], nullptr, false);
    if (parsed.is_discarded()) {
      fprintf(stderr, "korvanectl: ARGS is not valid JSON: %s\n", positional[1].c_str());
      return kExitError;
    }
    call_args = korvane::JsonToValue(parsed);
  }

  korvane::BridgeClient client;
  if (!ConnectToHost(&client)) {
    return kExitNoHost;
  }
  if (with_events) {
    korvane::BridgeClient::Response listening = client.Listen(kEventChannel, nullptr, timeout_ms);
    if (listening.status != korvane::BridgeClient::Status::kSuccess) {
      fprintf(stderr, "korvanectl: cannot listen on %s\n", kEventChannel);
      return ExitForFailure(listening);
    }
  }
  korvane::BridgeClient::Response response =
      client.Call(channel, method, call_args.get(), timeout_ms);
  int exit_status = PrintResponse(response, method, channel);
  if (with_events && exit_status != kExitNoHost && !PrintEvents(&client, until, timeout_ms) &&
      exit_status == kExitSuccess) {
    exit_status = interrupted ? kExitSuccess : kExitError;
  }
  return exit_status;
}

int PrintResponse(const korvane::BridgeClient::Response& response,
                  const std::string& method,
                  const std::string& channel) {
  switch (response.status) {
    case korvane::BridgeClient::Status::kSuccess:
      printf("%s\n", Dump(korvane::ValueToJson(response.result.get())).c_str());
      fflush(stdout);
      return kExitSuccess;
    case korvane::BridgeClient::Status::kError:
      printf("error %s: %s\n", response.code.c_str(), response.message.c_str());
      if (response.details != nullptr &&
          fl_value_get_type(response.details.get()) != FL_VALUE_TYPE_NULL) {
        printf("details: %s\n", Dump(korvane::ValueToJson(response.details.get())).c_str());
      }
      return kExitError;
    case korvane::BridgeClient::Status::kNotImplemented:
      fprintf(stderr, "korvanectl: not implemented: %s on %s\n", method.c_str(), channel.c_str());
      return kExitNotImplemented;
    default:
      return ExitForFailure(response);
  }
}

int RunEvents() {
  korvane::BridgeClient client;
  if (!ConnectToHost(&client)) {
    return kExitNoHost;
  }
  korvane::BridgeClient::Response response = client.Listen(kEventChannel, nullptr, -1);
  if (response.status == korvane::BridgeClient::Status::kNotImplemented) {
    fprintf(stderr, "korvanectl: not implemented: listen on %s\n", kEventChannel);
    return kExitNotImplemented;
  }
  if (response.status == korvane::BridgeClient::Status::kError) {
    printf("error %s: %s\n", response.code.c_str(), response.message.c_str());
    return kExitError;
  }
  if (response.status != korvane::BridgeClient::Status::kSuccess) {
    return ExitForFailure(response);
  }
  fflush(stdout);
  // Poll in short steps so an interrupt ends the loop with a clean cancel.
  constexpr int kStepMs = 200;
  while (!interrupted) {
    korvane::BridgeClient::Event event;
    std::string error;
    korvane::BridgeClient::Status status = client.NextEvent(kStepMs, &event, &error);
    if (status == korvane::BridgeClient::Status::kTimeout) {
      continue;
    }
    if (status == korvane::BridgeClient::Status::kClosed) {
      fprintf(stderr, "korvanectl: the host went away\n");
      return kExitNoHost;
    }
    if (status != korvane::BridgeClient::Status::kSuccess) {
      fprintf(stderr, "korvanectl: %s\n", error.c_str());
      return kExitError;
    }
    if (event.kind == korvane::BridgeClient::Event::Kind::kEndOfStream) {
      printf("{\"endOfStream\":true}\n");
      return kExitSuccess;
    }
    printf("%s\n", EventLine(event).c_str());
    fflush(stdout);
  }
  client.Cancel(kEventChannel, nullptr, 2000);
  return kExitSuccess;
}

int RunHello() {
  korvane::BridgeClient client;
  if (!ConnectToHost(&client)) {
    return kExitNoHost;
  }
  printf("%s\n", Dump(korvane::ValueToJson(client.hello())).c_str());
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return Usage();
  }
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "call") {
    return RunCall(args);
  }
  if (command == "events" && args.empty()) {
    return RunEvents();
  }
  if (command == "hello" && args.empty()) {
    return RunHello();
  }
  return Usage();
}
