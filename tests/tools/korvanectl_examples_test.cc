// korvanectl against the real host under Xvfb: every example the README documents, run as
// written (from a directory holding examples/mixed.json with its ports moved to free ones),
// with its JSON output and exit status checked; the README lists exactly these examples. Then
// the exit statuses a script tells apart (bad usage, no host, busy host, timeout, a method the
// host lacks) and the order of a reconnect's events.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/app/elevation_sandbox.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

using nlohmann::json;

std::string BuildDir() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return build != nullptr ? build : ".";
}

std::string KorvanectlDir() {
  return BuildDir() + "/tools/korvanectl";
}

std::string SourceFile(const std::string& name) {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  return std::string(source != nullptr ? source : ".") + "/" + name;
}

// Standard output as JSON lines (a line that is no JSON fails the test).
std::vector<json> JsonLines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    json parsed = json::parse(line, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << line;
    lines.push_back(parsed);
  }
  return lines;
}

std::vector<std::string> Statuses(const std::vector<json>& lines, size_t from) {
  std::vector<std::string> statuses;
  for (size_t i = from; i < lines.size(); i++) {
    statuses.push_back(lines[i].value("status", "?"));
  }
  return statuses;
}

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `command` through bash in `dir` with korvanectl first on PATH and the host's
// environment. `interrupt` stops it with SIGINT once it has printed a line (for 'events').
CommandRun RunCommand(const HostFixture& host,
                      const std::string& dir,
                      const std::string& command,
                      bool interrupt = false) {
  const std::string out = dir + "/stdout";
  const std::string err = dir + "/stderr";
  std::string script = "cd '" + dir + "' || exit 99; export PATH='" + KorvanectlDir() + "':$PATH; ";
  if (interrupt) {
    script += command + " >'" + out + "' 2>'" + err + "' & pid=$!; for i in $(seq 600); do [ -s '" +
              out + "' ] && break; sleep 0.1; done; kill -INT $pid; wait $pid";
  } else {
    script += command + " >'" + out + "' 2>'" + err + "'";
  }
  CommandRun run;
  run.status = host.RunWithHostEnvironment({"bash", "-c", script});
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

// One documented example and what it must give.
struct Example {
  const char* command;  // as the README shows it
  int exit_status;
  std::function<void(const std::vector<json>& lines)> check;
  bool interrupt = false;
  // Run again while it answers this error code: the automatic group measures its members
  // once the engine has started, and until then it has none to report.
  const char* until_not = nullptr;
};

// The README's "Using it" examples: every line of its code blocks that starts "korvanectl ".
std::set<std::string> ReadmeExamples() {
  std::ifstream readme(SourceFile("README.md"));
  std::set<std::string> examples;
  bool in_section = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("## ", 0) == 0) {
      in_section = line == "## Using it";
    }
    const size_t start = line.find_first_not_of(' ');
    if (in_section && start == 4 && line.compare(4, 11, "korvanectl ") == 0) {
      examples.insert(line.substr(4));
    }
  }
  return examples;
}

// A key of a JSON line, null when absent.
json Key(const json& line, const char* key) {
  return line.is_object() && line.contains(key) ? line.at(key) : json();
}

json Ok(const json& value) {
  return {{"ok", true}, {"value", value}};
}

// A SOCKS5 server on 127.0.0.1 that answers the greeting "no authentication" and closes: all
// the engine's delay probe of a socks node asks for. This machine has no internet, which a
// direct node's probe would need.
class GreetingSocksServer {
 public:
  GreetingSocksServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        listen(fd_, 64) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
      thread_ = std::thread([this] {
        for (int client; (client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
          char greeting[3];
          if (recv(client, greeting, sizeof(greeting), MSG_WAITALL) == sizeof(greeting)) {
            send(client, "\x05\x00", 2, MSG_NOSIGNAL);
          }
          close(client);
        }
      });
    }
  }
  ~GreetingSocksServer() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) {
      thread_.join();
    }
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

class KorvanectlExamplesTest : public ::testing::Test {
 protected:
  void StartHost(HostOptions options = HostOptions()) {
    options.window_manager = "";
    for (const auto& entry : GnomeKeyfileEnvironment()) {
      options.env.push_back(entry);
    }
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
  }

  // examples/mixed.json in the working directory, with free ports.
  void WriteExampleConfig() {
    mixed_port_ = FreePort();
    controller_port_ = FreePort();
    ASSERT_EQ(mkdir(work_.File("examples").c_str(), 0700), 0);
    std::string config = MixedConfig(mixed_port_, controller_port_, "korvane-engine.log");
    // Both nodes lead to the local SOCKS5 server, so their latency can be measured here.
    for (const char* tag : {"\"direct\"", "\"direct-2\""}) {
      config =
          ReplaceAll(config, std::string("\"type\": \"direct\",\n      \"tag\": ") + tag,
                     std::string("\"type\": \"socks\", \"server\": \"127.0.0.1\", "
                                 "\"server_port\": ") +
                         std::to_string(socks_.port()) + ", \"version\": \"5\", \"tag\": " + tag);
    }
    ASSERT_EQ(config.find("\"type\": \"direct\""), std::string::npos) << config;
    WriteFile(work_.File("examples/mixed.json"), config);
  }

  void RunExamples(const std::vector<Example>& examples) {
    const std::set<std::string> documented = ReadmeExamples();
    for (const Example& example : examples) {
      SCOPED_TRACE(example.command);
      EXPECT_EQ(documented.count(example.command), 1u) << "not among the README's examples";
      const std::string command =
          ReplaceAll(example.command, "9090", std::to_string(controller_port_));
      CommandRun run = RunCommand(host_, work_.path(), command, example.interrupt);
      for (int attempt = 0; example.until_not != nullptr && attempt < 600 &&
                            run.out.find(example.until_not) != std::string::npos;
           attempt++) {
        usleep(100 * 1000);
        run = RunCommand(host_, work_.path(), command, example.interrupt);
      }
      EXPECT_EQ(run.status, example.exit_status) << run.out << run.err << host_.Stderr();
      example.check(JsonLines(run.out));
      if (HasFailure()) {
        return;
      }
    }
  }

  GreetingSocksServer socks_;
  HostFixture host_;
  TempDir work_{"korvanectl-examples"};
  int mixed_port_ = 0;
  int controller_port_ = 0;
};

TEST_F(KorvanectlExamplesTest, EveryDocumentedExampleGivesItsJsonAndStatus) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_NO_FATAL_FAILURE(WriteExampleConfig());
  const std::vector<Example> examples = {
      {"korvanectl hello", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0].value("application", ""), "com.quorandel.korvane");
       }},
      {"korvanectl call getStatus", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0], Ok("disconnected"));
       }},
      {"korvanectl call getCoreVersion", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_TRUE(Key(lines[0], "value").is_string()) << lines[0];
       }},
      {"korvanectl call loadVPNPreference --field config=@examples/mixed.json --until "
       "vpn_connected",
       0,
       [](const std::vector<json>& lines) {
         ASSERT_GE(lines.size(), 2u);
         EXPECT_EQ(lines[0], Ok(true));
         EXPECT_EQ(Statuses(lines, 1),
                   (std::vector<std::string>{"vpn_connecting", "vpn_connected"}));
       }},
      {"korvanectl events --json", 0,
       [](const std::vector<json>& lines) {
         // Where things stand comes first, though nothing changed.
         ASSERT_GE(lines.size(), 1u);
         EXPECT_EQ(lines[0].value("status", ""), "vpn_connected");
         EXPECT_TRUE(Key(lines[0], "timestamp").is_number_integer()) << lines[0];
       },
       true},
      {"korvanectl call performUrlTest '{\"timeout\": 3000}'", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0].value("ok", false), true) << lines[0];
         EXPECT_TRUE(Key(lines[0], "value").is_number_integer()) << lines[0];
       },
       false, "No healthy member"},
      {"korvanectl call getAutoSelectorInfo", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         const json value = Key(lines[0], "value");
         const std::string selected = value.value("selectedTag", "");
         EXPECT_TRUE(selected == "direct" || selected == "direct-2") << lines[0];
         // JSON text in the host's answer, printed decoded.
         EXPECT_TRUE(Key(value, "allLatencies").is_object()) << lines[0];
       }},
      {"korvanectl call disconnect --until vpn_disconnected", 0,
       [](const std::vector<json>& lines) {
         ASSERT_GE(lines.size(), 1u);
         EXPECT_EQ(lines[0], Ok(true));
         EXPECT_EQ(Statuses(lines, 1),
                   (std::vector<std::string>{"vpn_disconnecting", "vpn_disconnected"}));
       }},
  };
  RunExamples(examples);
  // The engine's log lands in its working directory, as the README says.
  EXPECT_TRUE(std::filesystem::exists(host_.config_home() + "/korvane/working/korvane-engine.log"));

  // A method on another channel than its own is sent only with --unlisted; the host lacks it.
  CommandRun unlisted =
      RunCommand(host_, work_.path(), "korvanectl call getStatus --channel core --unlisted");
  EXPECT_EQ(unlisted.status, 6) << unlisted.err;
  EXPECT_EQ(json::parse(unlisted.out, nullptr, false).value("code", ""), "NOT_IMPLEMENTED")
      << unlisted.out;
}

TEST_F(KorvanectlExamplesTest, GrantAndRestartExamples) {
  // The grant runs through a stand-in pkexec, in the host's private /etc and /var/lib.
  const ElevationSandbox sandbox = MakeElevationSandbox(host_.dir());
  ASSERT_FALSE(sandbox.executable.empty()) << sandbox.error;
  HostOptions options;
  options.executable = sandbox.executable;
  options.private_system = true;
  options.env = {{"PATH", sandbox.path_env}, {"XDG_SESSION_TYPE", "x11"}};
  ASSERT_NO_FATAL_FAILURE(StartHost(options));
  WriteFile(sandbox.grant_file, "");
  const std::vector<Example> examples = {
      {"korvanectl call checkAdminPrivileges", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_TRUE(Key(lines[0], "value").is_boolean()) << lines[0];
       }},
      {"korvanectl call requestAdminPrivileges", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0], Ok(true));
       }},
      {"korvanectl call restartApp", 0,
       [](const std::vector<json>& lines) {
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0], Ok(true));
       }},
  };
  RunExamples(examples);
  // The host quits after its answer (its successor takes the socket over).
  EXPECT_NE(host_.WaitForHostExit(60000), -1);
}

TEST_F(KorvanectlExamplesTest, TheReadmeListsNoExampleThatIsNotRunHere) {
  const std::set<std::string> run = {
      "korvanectl hello",
      "korvanectl call getStatus",
      "korvanectl call getCoreVersion",
      "korvanectl call loadVPNPreference --field config=@examples/mixed.json --until "
      "vpn_connected",
      "korvanectl events --json",
      "korvanectl call performUrlTest '{\"timeout\": 3000}'",
      "korvanectl call getAutoSelectorInfo",
      "korvanectl call disconnect --until vpn_disconnected",
      "korvanectl call checkAdminPrivileges",
      "korvanectl call requestAdminPrivileges",
      "korvanectl call restartApp",
  };
  EXPECT_EQ(ReadmeExamples(), run);
}

TEST_F(KorvanectlExamplesTest, AReconnectEndsAtConnectedNotAtTheDisconnectedBetween) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_NO_FATAL_FAILURE(WriteExampleConfig());
  const std::string connect =
      "korvanectl call loadVPNPreference --field config=@examples/mixed.json --until "
      "vpn_connected,vpn_disconnected --timeout 120";
  CommandRun first = RunCommand(host_, work_.path(), connect);
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  // The reconnect's configuration is larger than one command-line argument may be (128 KiB):
  // a route rule with many domains, read from its file.
  std::string domains;
  for (int i = 0; domains.size() < 140 * 1024; i++) {
    domains += (domains.empty() ? "\"" : ", \"") + std::to_string(i) + ".example.invalid\"";
  }
  const std::string big =
      ReplaceAll(ReadFile(work_.File("examples/mixed.json")), "\"final\": \"proxy\"",
                 "\"rules\": [{\"domain\": [" + domains +
                     "], \"outbound\": \"direct\"}], \"final\": \"proxy\"");
  ASSERT_GT(big.size(), 140u * 1024);
  WriteFile(work_.File("examples/big.json"), big);
  CommandRun again = RunCommand(host_, work_.path(),
                                ReplaceAll(connect, "examples/mixed.json", "examples/big.json"));
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  std::vector<json> lines = JsonLines(again.out);
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(Statuses(lines, 1), (std::vector<std::string>{"vpn_connecting", "vpn_disconnecting",
                                                          "vpn_disconnected", "vpn_connected"}));
  // The whole argument also comes from standard input; a connect the engine refuses (its
  // mixed port is taken) exits 1 with the error event and ends at the disconnected after it,
  // though only vpn_connected was waited for.
  const int busy_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in busy{};
  busy.sin_family = AF_INET;
  busy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t busy_length = sizeof(busy);
  ASSERT_EQ(bind(busy_fd, reinterpret_cast<sockaddr*>(&busy), sizeof(busy)), 0);
  ASSERT_EQ(listen(busy_fd, 1), 0);
  ASSERT_EQ(getsockname(busy_fd, reinterpret_cast<sockaddr*>(&busy), &busy_length), 0);
  WriteFile(
      work_.File("busy.json"),
      json{{"config", MixedConfig(ntohs(busy.sin_port), FreePort(), "korvane-engine.log")}}.dump());
  CommandRun refused = RunCommand(
      host_, work_.path(),
      "korvanectl call loadVPNPreference - --until vpn_connected --timeout 60 <busy.json");
  close(busy_fd);
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  lines = JsonLines(refused.out);
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], Ok(true));
  std::vector<std::string> statuses = Statuses(lines, 1);
  ASSERT_GE(statuses.size(), 2u) << refused.out;
  EXPECT_EQ(statuses.front(), "vpn_connecting");
  EXPECT_EQ(statuses.back(), "vpn_disconnected");
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "vpn_error"), statuses.end());
}

// A server that accepts, says hello and then never answers.
class SilentHost {
 public:
  explicit SilentHost(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
          listen(fd_, 4) == 0;
    if (ok_) {
      thread_ = std::thread([this] {
        const int client = accept(fd_, nullptr, nullptr);
        g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
        g_autoptr(FlValue) hello = fl_value_new_map();
        g_autoptr(GBytes) bytes =
            fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), hello, nullptr);
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        const std::string frame =
            BridgeClient::EncodeFrame(BridgeClient::kKindHello, 0, "", std::string(data, size));
        if (write(client, frame.data(), frame.size()) < 0) {
          // The client's exit shows it.
        }
        char buffer[4096];
        while (read(client, buffer, sizeof(buffer)) > 0) {
        }
        close(client);
      });
    }
  }
  ~SilentHost() {
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) {
      thread_.join();
    }
    close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::thread thread_;
};

TEST_F(KorvanectlExamplesTest, ExitStatusesTellTheOutcomesApart) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  struct Row {
    const char* command;
    int exit_status;
    const char* diagnostic;  // in standard error
  };
  const Row bad_usage[] = {
      {"korvanectl call getStatus --timeout abc", 2, "--timeout takes a positive number"},
      {"korvanectl call getStatus --timeout", 2, "--timeout needs a value"},
      {"korvanectl call noSuchMethod", 2, "unknown method 'noSuchMethod'"},
      {"korvanectl call loadVPNPreference '{not json'", 2, "ARGS is not valid JSON"},
      {"korvanectl call loadVPNPreference @missing.json", 2, "cannot read missing.json"},
      {"korvanectl call getStatus --channel nope", 2, "unknown channel 'nope'"},
      {"korvanectl call disconnect --until vpn_gone", 2, "'vpn_gone' is no event status"},
      {"korvanectl call loadVPNPreference - --field config=-", 2, "only one value"},
      {"korvanectl frobnicate", 2, "unknown command"},
      {"korvanectl", 2, "no command given"},
      {"korvanectl --help", 0, ""},
      {"korvanectl help performUrlTest", 0, ""},
      {"korvanectl call toggleAutoReconnect 1", 1, ""},
      {"KORVANE_UI_SOCKET=$PWD/none.sock korvanectl call getStatus", 3, "none.sock"},
  };
  for (const Row& row : bad_usage) {
    SCOPED_TRACE(row.command);
    CommandRun run = RunCommand(host_, work_.path(), row.command);
    EXPECT_EQ(run.status, row.exit_status) << run.out << run.err;
    EXPECT_NE(run.err.find(row.diagnostic), std::string::npos) << run.err;
    if (row.exit_status == 2) {
      EXPECT_EQ(run.out, "") << "bad usage prints no answer";
    }
  }
  // Help is on standard output and lists every method with its channel.
  CommandRun help = RunCommand(host_, work_.path(), "korvanectl --help");
  EXPECT_NE(help.out.find("getCoreVersion"), std::string::npos);
  EXPECT_NE(help.out.find("vpn_disconnecting"), std::string::npos);
  // An error answer is JSON too.
  CommandRun error = RunCommand(host_, work_.path(), "korvanectl call toggleAutoReconnect 1");
  EXPECT_EQ(json::parse(error.out, nullptr, false), (json{{"ok", false},
                                                          {"code", "INVALID_ARGUMENT"},
                                                          {"message", "Boolean required"},
                                                          {"details", nullptr}}));

  // Busy: the host serves another client.
  {
    std::string connect_error;
    std::unique_ptr<BridgeClient> holder = host_.Connect(&connect_error);
    ASSERT_NE(holder, nullptr) << connect_error;
    CommandRun busy = RunCommand(host_, work_.path(), "korvanectl call getStatus");
    EXPECT_EQ(busy.status, 4) << busy.out << busy.err;
    EXPECT_EQ(busy.out, "");
  }

  // Timeout: a server that says hello and never answers.
  const std::string silent_dir = work_.File("silent");
  ASSERT_EQ(mkdir(silent_dir.c_str(), 0700), 0);
  SilentHost silent(silent_dir + "/ui.sock");
  ASSERT_TRUE(silent.ok());
  CommandRun timeout = RunCommand(
      host_, work_.path(),
      "KORVANE_UI_SOCKET=" + silent_dir + "/ui.sock korvanectl call getStatus --timeout 0.5");
  EXPECT_EQ(timeout.status, 5) << timeout.out << timeout.err;
  EXPECT_NE(timeout.err.find("no answer from the host in time"), std::string::npos) << timeout.err;
}

}  // namespace
}  // namespace korvane_test
