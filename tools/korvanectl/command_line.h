#ifndef TOOLS_KORVANECTL_COMMAND_LINE_H_
#define TOOLS_KORVANECTL_COMMAND_LINE_H_

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// korvanectl's command line, read into one request. Reading a file or standard input for an
// argument happens here, so every usage fault is found before the host is reached.
namespace korvane::ctl {

struct Request {
  enum class Command { kCall, kEvents, kHello, kHelp };
  Command command = Command::kHelp;
  // kHelp: a method's name, "" for the whole usage; markdown / names: other renderings.
  std::string help_topic;
  bool help_markdown = false;
  bool help_names = false;
  // kCall
  std::string method;
  std::string channel;  // the full channel name
  std::optional<nlohmann::json> args;
  int timeout_ms = -1;  // -1: none
  bool with_events = false;
  std::vector<std::string> until;
  // kEvents
  bool json_lines = false;
};

// Parses `args` (without the program name). On a usage fault returns false with *error set.
// `read_stdin` supplies standard input's text for "-" (read once at most).
bool ParseCommandLine(const std::vector<std::string>& args,
                      Request* request,
                      std::string* error,
                      std::string (*read_stdin)());

// "SECONDS" as milliseconds: a positive decimal number; false for anything else.
bool ParseSeconds(const std::string& text, int* milliseconds);

}  // namespace korvane::ctl

#endif  // TOOLS_KORVANECTL_COMMAND_LINE_H_
