#include "tools/korvanectl/command_line.h"

#include <errno.h>
#include <string.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "vpn/protocol/ui_protocol.h"

namespace korvane::ctl {

namespace {

namespace protocol = korvane::protocol;

// Where an argument's text comes from: "@FILE", "-" (standard input) or the text itself.
class TextSource {
 public:
  explicit TextSource(std::string (*read_stdin)()) : read_stdin_(read_stdin) {}

  bool Read(const std::string& spec, std::string* text, std::string* error) {
    if (spec == "-") {
      if (stdin_used_) {
        *error = "standard input can give only one value";
        return false;
      }
      stdin_used_ = true;
      *text = read_stdin_();
      return true;
    }
    if (!spec.empty() && spec[0] == '@') {
      const std::string path = spec.substr(1);
      std::ifstream file(path, std::ios::binary);
      if (!file) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
      }
      std::ostringstream contents;
      contents << file.rdbuf();
      *text = contents.str();
      return true;
    }
    *text = spec;
    return true;
  }

 private:
  std::string (*read_stdin_)();
  bool stdin_used_ = false;
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    items.push_back(text.substr(start, comma - start));
  }
  items.push_back(text.substr(start));
  return items;
}

bool IsEventStatus(const std::string& status) {
  for (const protocol::Event& event : protocol::Events()) {
    if (status == event.status) {
      return true;
    }
  }
  return false;
}

// The value after option `args[*i]`, advancing *i; false when there is none.
bool OptionValue(const std::vector<std::string>& args,
                 size_t* i,
                 std::string* value,
                 std::string* error) {
  if (*i + 1 >= args.size()) {
    *error = args[*i] + " needs a value";
    return false;
  }
  *value = args[++*i];
  return true;
}

bool ParseHelp(const std::vector<std::string>& args, Request* request, std::string* error) {
  request->command = Request::Command::kHelp;
  for (size_t i = 1; i < args.size(); i++) {
    if (args[i] == "--markdown") {
      request->help_markdown = true;
    } else if (args[i] == "--methods") {
      request->help_names = true;
    } else if (request->help_topic.empty() && args[i][0] != '-') {
      if (protocol::FindMethod(args[i]) == nullptr) {
        *error = "unknown method '" + args[i] + "' (korvanectl --help lists them)";
        return false;
      }
      request->help_topic = args[i];
    } else {
      *error = "unexpected '" + args[i] + "' after help";
      return false;
    }
  }
  return true;
}

bool ParseCall(const std::vector<std::string>& args,
               Request* request,
               std::string* error,
               std::string (*read_stdin)()) {
  request->command = Request::Command::kCall;
  TextSource source(read_stdin);
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> fields;
  std::optional<std::string> whole_string;
  std::string channel_name;
  bool unlisted = false;
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& arg = args[i];
    std::string value;
    if (arg == "--channel") {
      if (!OptionValue(args, &i, &channel_name, error)) {
        return false;
      }
      if (channel_name != "vpn" && channel_name != "core") {
        *error = "unknown channel '" + channel_name + "' (vpn or core)";
        return false;
      }
    } else if (arg == "--timeout") {
      if (!OptionValue(args, &i, &value, error)) {
        return false;
      }
      if (!ParseSeconds(value, &request->timeout_ms)) {
        *error = "--timeout takes a positive number of seconds, not '" + value + "'";
        return false;
      }
    } else if (arg == "--events") {
      request->with_events = true;
    } else if (arg == "--until") {
      if (!OptionValue(args, &i, &value, error)) {
        return false;
      }
      request->with_events = true;
      request->until = SplitList(value);
      for (const std::string& status : request->until) {
        if (!IsEventStatus(status)) {
          *error = "--until: '" + status + "' is no event status (korvanectl --help lists them)";
          return false;
        }
      }
    } else if (arg == "--field") {
      if (!OptionValue(args, &i, &value, error)) {
        return false;
      }
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0) {
        *error = "--field takes KEY=VALUE, KEY=@FILE or KEY=-";
        return false;
      }
      fields.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else if (arg == "--string") {
      if (!OptionValue(args, &i, &value, error)) {
        return false;
      }
      whole_string = value;
    } else if (arg == "--unlisted") {
      unlisted = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      *error = "unknown option '" + arg + "'";
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    *error = "call needs a METHOD";
    return false;
  }
  if (positional.size() > 2) {
    *error = "call takes one ARGS value; '" + positional[2] + "' is one too many";
    return false;
  }
  request->method = positional[0];
  const protocol::Method* method = protocol::FindMethod(request->method);
  if (method == nullptr && !unlisted) {
    *error = "unknown method '" + request->method +
             "' (korvanectl --help lists them; --unlisted sends it anyway)";
    return false;
  }
  protocol::ChannelId channel = method != nullptr ? method->channel : protocol::ChannelId::kVpn;
  if (!channel_name.empty()) {
    const protocol::ChannelId asked =
        channel_name == "core" ? protocol::ChannelId::kCore : protocol::ChannelId::kVpn;
    if (method != nullptr && asked != channel && !unlisted) {
      *error = request->method + " is a method of the " + protocol::ChannelShortName(channel) +
               " channel";
      return false;
    }
    channel = asked;
  }
  request->channel = protocol::ChannelName(channel);

  // Standard input gives one value; found out before any of it is read.
  int stdin_uses =
      (positional.size() == 2 && positional[1] == "-") + (whole_string && *whole_string == "-");
  for (const auto& field : fields) {
    stdin_uses += field.second == "-";
  }
  if (stdin_uses > 1) {
    *error = "standard input can give only one value";
    return false;
  }

  if (positional.size() == 2) {
    if (whole_string) {
      *error = "give either ARGS or --string";
      return false;
    }
    std::string text;
    if (!source.Read(positional[1], &text, error)) {
      return false;
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
      *error = "ARGS is not valid JSON" + (positional[1] == "-" || positional[1][0] == '@'
                                               ? " (in " + positional[1] + ")"
                                               : ": " + positional[1]);
      return false;
    }
    request->args = std::move(parsed);
  }
  if (whole_string) {
    std::string text;
    if (!source.Read(*whole_string, &text, error)) {
      return false;
    }
    request->args = text;
  }
  if (!fields.empty()) {
    if (!request->args) {
      request->args = nlohmann::json::object();
    }
    if (!request->args->is_object()) {
      *error = "--field needs ARGS to be a JSON object (or absent)";
      return false;
    }
    for (const auto& [key, spec] : fields) {
      std::string text;
      if (!source.Read(spec, &text, error)) {
        return false;
      }
      (*request->args)[key] = text;
    }
  }
  return true;
}

}  // namespace

bool ParseSeconds(const std::string& text, int* milliseconds) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
    return false;
  }
  char* end = nullptr;
  const double seconds = strtod(text.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > 24 * 3600) {
    return false;
  }
  *milliseconds = static_cast<int>(std::ceil(seconds * 1000));
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args,
                      Request* request,
                      std::string* error,
                      std::string (*read_stdin)()) {
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h") {
    request->command = Request::Command::kHelp;
    if (args.size() > 1) {
      *error = "unexpected '" + args[1] + "' after " + command;
      return false;
    }
    return true;
  }
  if (command == "help") {
    return ParseHelp(args, request, error);
  }
  if (command == "call") {
    return ParseCall(args, request, error, read_stdin);
  }
  if (command == "events") {
    request->command = Request::Command::kEvents;
    for (size_t i = 1; i < args.size(); i++) {
      if (args[i] != "--json") {
        *error = "unexpected '" + args[i] + "' after events";
        return false;
      }
      request->json_lines = true;
    }
    return true;
  }
  if (command == "hello") {
    request->command = Request::Command::kHello;
    if (args.size() > 1) {
      *error = "unexpected '" + args[1] + "' after hello";
      return false;
    }
    return true;
  }
  *error = "unknown command '" + command + "'";
  return false;
}

}  // namespace korvane::ctl
