// korvanectl: plays the user interface against a running host over its UI bridge. The usage,
// the output contract and the exit statuses are in help.cc (korvanectl --help) and in
// docs/man/korvanectl.1.

#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/korvanectl/bridge_client.h"
#include "tools/korvanectl/command_line.h"
#include "tools/korvanectl/exit_status.h"
#include "tools/korvanectl/help.h"
#include "tools/korvanectl/output.h"
#include "tools/korvanectl/until_watch.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/protocol/ui_protocol.h"
#include "vpn/vpn_channels.h"

namespace {

namespace ctl = korvane::ctl;
namespace protocol = korvane::protocol;
using korvane::BridgeClient;

// A live host sends its hello at once, unless its main thread is busy starting an engine.
constexpr int kHelloTimeoutMs = 30000;
// Waiting steps, so that an interrupt is seen soon.
constexpr int kStepMs = 200;
constexpr char kRefreshMethod[] = "refreshVPNStatus";

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
  interrupted = 1;
}

std::string ReadStandardInput() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

int64_t NowMs() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left before the command's deadline (-1: none), at least 1 while there is one.
class Deadline {
 public:
  explicit Deadline(int timeout_ms) : end_ms_(timeout_ms < 0 ? -1 : NowMs() + timeout_ms) {}
  int Left() const {
    if (end_ms_ < 0) {
      return -1;
    }
    const int64_t left = end_ms_ - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool Passed() const { return end_ms_ >= 0 && Left() == 0; }
  // The next wait: one step, or less when the deadline is nearer.
  int Step() const { return end_ms_ < 0 ? kStepMs : std::min(kStepMs, std::max(Left(), 1)); }

 private:
  int64_t end_ms_;
};

int Fail(int status, const std::string& message) {
  fprintf(stderr, "korvanectl: %s\n", message.c_str());
  return status;
}

// Connects and reads the hello; 0 on success, else the exit status (said on stderr).
int ConnectToHost(BridgeClient* client, const Deadline& deadline) {
  const std::string path = BridgeClient::DefaultSocketPath();
  std::string error;
  if (!client->ConnectSocket(path, &error)) {
    // A socket that is not safely ours counts as no host: nothing was sent to it.
    return Fail(ctl::kExitNoHost, error);
  }
  const int left = deadline.Left();
  if (client->ReadHello(left >= 0 && left < kHelloTimeoutMs ? left : kHelloTimeoutMs, &error)) {
    return 0;
  }
  if (!client->connected()) {
    // Ours and listening, but it closed at once: it serves another client.
    return Fail(ctl::kExitHostBusy, "the host at " + path +
                                        " serves another client (one at a time), such as a running "
                                        "'korvanectl events'");
  }
  if (error.find("in time") != std::string::npos) {
    return Fail(ctl::kExitTimeout, "the host at " + path + " sent no hello in time");
  }
  return Fail(ctl::kExitNoHost, "no host at " + path + ": " + error);
}

// The exit status for a call that got no answer.
int NoAnswer(const BridgeClient::Response& response) {
  if (response.status == BridgeClient::Status::kTimeout) {
    return Fail(ctl::kExitTimeout, "no answer from the host in time");
  }
  return Fail(ctl::kExitNoHost,
              std::string(korvane::StatusName(response.status)) + ": " + response.failure);
}

bool Answered(const BridgeClient::Response& response) {
  return response.status == BridgeClient::Status::kSuccess ||
         response.status == BridgeClient::Status::kError ||
         response.status == BridgeClient::Status::kNotImplemented;
}

void PrintLine(const std::string& line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

// Prints events: those queued, and with `watch` the following ones until it ends. Returns the
// exit status.
int PrintEvents(BridgeClient* client, ctl::UntilWatch* watch, const Deadline& deadline) {
  bool error_seen = false;
  while (!interrupted) {
    BridgeClient::Event event;
    std::string error;
    const BridgeClient::Status status =
        client->NextEvent(watch == nullptr ? 0 : deadline.Step(), &event, &error);
    if (status == BridgeClient::Status::kTimeout) {
      if (watch == nullptr) {
        return ctl::kExitSuccess;
      }
      if (deadline.Passed()) {
        return Fail(ctl::kExitTimeout, "no event ending the call's transition came in time");
      }
      continue;
    }
    if (status != BridgeClient::Status::kSuccess) {
      return Fail(ctl::kExitNoHost, "the host went away: " + error);
    }
    PrintLine(ctl::EventLine(event, true));
    const std::string event_status = ctl::EventStatus(event);
    error_seen = error_seen || event_status == korvane::kEventErrorStatus;
    if (event.kind == BridgeClient::Event::Kind::kEndOfStream) {
      return Fail(ctl::kExitNoHost, "the host ended the event stream");
    }
    if (watch != nullptr && watch->Ends(event_status)) {
      return error_seen ? ctl::kExitErrorAnswer : ctl::kExitSuccess;
    }
  }
  return ctl::kExitSuccess;
}

int RunCall(const ctl::Request& request) {
  const Deadline deadline(request.timeout_ms);
  BridgeClient client;
  if (int status = ConnectToHost(&client, deadline)) {
    return status;
  }
  if (request.with_events) {
    BridgeClient::Response listening =
        client.Listen(korvane::kEventChannelName, nullptr, deadline.Left());
    if (listening.status != BridgeClient::Status::kSuccess) {
      return Answered(listening) ? Fail(ctl::kExitNoHost, "the host refused the event stream")
                                 : NoAnswer(listening);
    }
  }
  korvane::FlValuePtr args;
  if (request.args) {
    args = korvane::JsonToValue(*request.args);
  }
  const BridgeClient::Response response =
      client.Call(request.channel, request.method, args.get(), deadline.Left());
  if (!Answered(response)) {
    return NoAnswer(response);
  }
  const protocol::Method* method = protocol::FindMethod(request.method);
  PrintLine(ctl::Dump(ctl::AnswerJson(response, method, request.method, request.channel)));
  int status = ctl::kExitSuccess;
  if (response.status == BridgeClient::Status::kError) {
    status = ctl::kExitErrorAnswer;
  } else if (response.status == BridgeClient::Status::kNotImplemented) {
    status = ctl::kExitNotImplemented;
  }
  if (!request.with_events) {
    return status;
  }
  if (status != ctl::kExitSuccess || request.until.empty()) {
    // What came with the call; a failed call starts no transition to wait for.
    const int printed = PrintEvents(&client, nullptr, deadline);
    return status != ctl::kExitSuccess ? status : printed;
  }
  ctl::UntilWatch watch(request.until, method != nullptr && protocol::StartsConnection(*method));
  return PrintEvents(&client, &watch, deadline);
}

int RunEvents(const ctl::Request& request) {
  const Deadline deadline(-1);
  BridgeClient client;
  if (int status = ConnectToHost(&client, deadline)) {
    return status;
  }
  BridgeClient::Response response = client.Listen(korvane::kEventChannelName, nullptr, -1);
  if (response.status != BridgeClient::Status::kSuccess) {
    return Answered(response) ? Fail(ctl::kExitNoHost, "the host refused the event stream")
                              : NoAnswer(response);
  }
  // The host repeats where things stand as an event, so the first line is the current state.
  response = client.Call(korvane::kVpnChannelName, kRefreshMethod, nullptr, -1);
  if (!Answered(response)) {
    return NoAnswer(response);
  }
  if (response.status != BridgeClient::Status::kSuccess) {
    fprintf(stderr, "korvanectl: the host did not repeat its state: %s\n",
            ctl::Dump(ctl::AnswerJson(response, nullptr, kRefreshMethod, korvane::kVpnChannelName))
                .c_str());
  }
  while (!interrupted) {
    BridgeClient::Event event;
    std::string error;
    const BridgeClient::Status status = client.NextEvent(kStepMs, &event, &error);
    if (status == BridgeClient::Status::kTimeout) {
      continue;
    }
    if (status != BridgeClient::Status::kSuccess) {
      return Fail(ctl::kExitNoHost, "the host went away: " + error);
    }
    PrintLine(ctl::EventLine(event, request.json_lines));
    if (event.kind == BridgeClient::Event::Kind::kEndOfStream) {
      return ctl::kExitSuccess;
    }
  }
  client.Cancel(korvane::kEventChannelName, nullptr, 2000);
  return ctl::kExitSuccess;
}

int RunHello() {
  BridgeClient client;
  if (int status = ConnectToHost(&client, Deadline(-1))) {
    return status;
  }
  PrintLine(ctl::Dump(korvane::ValueToJson(client.hello())));
  return ctl::kExitSuccess;
}

int RunHelp(const ctl::Request& request) {
  if (request.help_markdown) {
    fputs(protocol::RenderMarkdown().c_str(), stdout);
  } else if (request.help_names) {
    fputs(ctl::MethodNames().c_str(), stdout);
  } else if (!request.help_topic.empty()) {
    fputs(protocol::RenderMethodHelp(*protocol::FindMethod(request.help_topic)).c_str(), stdout);
  } else {
    fputs(ctl::UsageText(BridgeClient::DefaultSocketPath()).c_str(), stdout);
  }
  return ctl::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  ctl::Request request;
  std::string error;
  if (!ctl::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &request, &error,
                             ReadStandardInput)) {
    fprintf(stderr, "korvanectl: %s\nTry 'korvanectl --help'.\n", error.c_str());
    return ctl::kExitBadUsage;
  }
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  switch (request.command) {
    case ctl::Request::Command::kCall:
      return RunCall(request);
    case ctl::Request::Command::kEvents:
      return RunEvents(request);
    case ctl::Request::Command::kHello:
      return RunHello();
    case ctl::Request::Command::kHelp:
      return RunHelp(request);
  }
  return ctl::kExitBadUsage;
}
