// The engine's C contract as the host meets it: exactly eight exported entry points, calling
// order, the error texts of configuration checks and the log file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "tests/engine/libbox_library.h"

namespace korvane_test {
namespace {

class EngineContractTest : public LoadedEngineTest {
 protected:
  TempDir dir_;
};

TEST(EngineExportsTest, ExactlyTheEightEntryPoints) {
  std::string output;
  ASSERT_EQ(RunShellCommand("nm -D --defined-only '" + LibboxLibrary::BundlePath() + "'", &output),
            0)
      << output;
  std::set<std::string> names;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    // "0000000000012345 T name"
    names.insert(line.substr(line.rfind(' ') + 1));
  }
  std::set<std::string> expected = {"setup_libbox",   "get_version",  "create_service",
                                    "start_service",  "stop_service", "get_status",
                                    "get_last_error", "free_string"};
  EXPECT_EQ(names, expected) << output;
}

TEST(EngineOrderTest, CallsOutOfOrderFailWithClearTexts) {
  // A private copy of the shipped file gives a library instance that was never set up.
  TempDir dir;
  std::filesystem::copy_file(LibboxLibrary::BundlePath(), dir.File("libbox.so"));
  auto library = LibboxLibrary::Load(dir.File("libbox.so"));

  EXPECT_EQ(library->get_last_error(), nullptr);
  EXPECT_NE(library->create_service("{}"), 0);
  EXPECT_EQ(library->LastError(), "create service: setup_libbox has not been called");
  // Asked again after the same failure, the message is still there.
  EXPECT_EQ(library->LastError(), "create service: setup_libbox has not been called");

  EXPECT_NE(library->start_service(), 0);
  EXPECT_EQ(library->LastError(), "start service: no service created");
  EXPECT_EQ(library->stop_service(), 0);  // nothing to stop is not a failure
  EXPECT_EQ(library->get_status(), 0);

  ASSERT_EQ(library->setup_libbox(dir.path().c_str(), dir.path().c_str(), dir.path().c_str()), 0);
  ASSERT_EQ(library->create_service("{}"), 0) << library->LastError();
  EXPECT_EQ(library->get_status(), 1);
  EXPECT_EQ(library->get_last_error(), nullptr);
  EXPECT_NE(library->create_service("{}"), 0);
  EXPECT_EQ(library->LastError(), "create service: a service already exists; stop it first");
  ASSERT_EQ(library->start_service(), 0) << library->LastError();
  EXPECT_EQ(library->get_status(), 2);
  EXPECT_NE(library->start_service(), 0);
  EXPECT_EQ(library->LastError(), "start service: service already started");
  EXPECT_EQ(library->stop_service(), 0);
  EXPECT_EQ(library->get_status(), 0);
  // Created and stopped without a start: released as well.
  ASSERT_EQ(library->create_service("{}"), 0);
  EXPECT_EQ(library->stop_service(), 0);
  EXPECT_EQ(library->get_status(), 0);
}

TEST_F(EngineContractTest, VersionIsAHeapCopyOfTheReferenceVersion) {
  const char* first = library_->get_version();
  const char* second = library_->get_version();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_STREQ(first, "sing-box 1.13.3-korvane-reference");
  library_->free_string(first);
  library_->free_string(second);
}

struct ConfigCase {
  const char* what;
  const char* config;
  const char* error;
};

// Every check of create_service, with the engine's own texts.
const ConfigCase kConfigCases[] = {
    // Syntax errors: the offending byte's row and column, counted from 1.
    {"stray comma", "{\"log\":{},}",
     "decode config: invalid character '}' looking for beginning of object key string: row 1, "
     "column 11"},
    {"stray comma, later row", "{\n  \"log\": {\n    \"level\": \"info\",\n  }\n}",
     "decode config: invalid character '}' looking for beginning of object key string: row 4, "
     "column 3"},
    {"not json", "dns",
     "decode config: invalid character 'd' looking for beginning of value: row 1, column 1"},
    {"missing colon", "{\"log\" {}}",
     "decode config: invalid character '{' after object key: row 1, column 8"},
    {"missing comma in array", "{\"inbounds\":[{} {}]}",
     "decode config: invalid character '{' after array element: row 1, column 17"},
    {"truncated", "{\"log\": {\"level\": \"info\"}",
     "decode config: unexpected end of JSON input: row 1, column 25"},
    {"trailing value", "{} {}",
     "decode config: invalid character '{' after top-level value: row 1, column 4"},
    // Shape errors.
    {"unknown top-level key", "{\"outbound_providers\":[]}",
     "decode config: outbound_providers: json: unknown field \"outbound_providers\""},
    {"wrong kind", "{\"log\":{\"disabled\":\"yes\"}}",
     "decode config: log.disabled: json: cannot unmarshal string into Go value of type bool"},
    {"unknown outbound type",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"direct\"},{\"type\":\"foo\",\"tag\":\"x\"}]}",
     "decode config: outbounds[1]: unknown outbound type: foo"},
    {"unknown inbound type", "{\"inbounds\":[{\"type\":\"bar\",\"tag\":\"in\"}]}",
     "decode config: inbounds[0]: unknown inbound type: bar"},
    {"unknown endpoint type", "{\"endpoints\":[{\"type\":\"baz\",\"tag\":\"e\"}]}",
     "decode config: endpoints[0]: unknown endpoint type: baz"},
    {"legacy inbound field", "{\"inbounds\":[{\"type\":\"mixed\",\"sniff\":true}]}",
     "decode config: inbounds[0]: legacy inbound fields are deprecated in sing-box 1.11.0 and "
     "removed in sing-box 1.13.0, use rule actions instead"},
    {"legacy tun address", "{\"inbounds\":[{\"type\":\"tun\",\"inet4_address\":\"10.0.0.1/30\"}]}",
     "decode config: inbounds[0]: legacy tun address fields are deprecated in sing-box 1.10.0 and "
     "removed in sing-box 1.12.0"},
    {"bad tun address", "{\"inbounds\":[{\"type\":\"tun\",\"address\":[\"10.0.0.1\"]}]}",
     "decode config: inbounds[0].address[0]: netip.ParsePrefix(\"10.0.0.1\"): no '/'"},
    {"bad duration",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\"},{\"type\":\"urltest\",\"tag\":\"auto\","
     "\"outbounds\":[\"d\"],\"interval\":\"soon\"}]}",
     "decode config: outbounds[1].interval: time: invalid duration \"soon\""},
    // Outbound graph errors.
    {"missing member",
     "{\"outbounds\":[{\"type\":\"selector\",\"tag\":\"proxy\",\"outbounds\":[\"hk-01\",\"hk-03\"]}"
     ","
     "{\"type\":\"direct\",\"tag\":\"hk-01\"}]}",
     "dependency[hk-03] not found for outbound[proxy]"},
    {"default not a member",
     "{\"outbounds\":[{\"type\":\"selector\",\"tag\":\"proxy\",\"outbounds\":[\"hk-01\"],"
     "\"default\":\"hk-02\"},{\"type\":\"direct\",\"tag\":\"hk-01\"},{\"type\":\"direct\",\"tag\":"
     "\"hk-02\"}]}",
     "start outbound/selector[proxy]: default outbound not found: hk-02"},
    {"duplicate tag",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"direct\"},{\"type\":\"block\",\"tag\":"
     "\"direct\"}]}",
     "duplicate outbound/endpoint tag: direct"},
    {"duplicate tag across endpoints",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"wg\"}],\"endpoints\":[{\"type\":"
     "\"wireguard\",\"tag\":\"wg\"}]}",
     "duplicate outbound/endpoint tag: wg"},
    {"empty selector",
     "{\"outbounds\":[{\"type\":\"selector\",\"tag\":\"proxy\",\"outbounds\":[]}]}",
     "initialize outbound/selector[proxy]: missing tags"},
    {"cycle",
     "{\"outbounds\":[{\"type\":\"selector\",\"tag\":\"a\",\"outbounds\":[\"b\"]},{\"type\":"
     "\"selector\",\"tag\":\"b\",\"outbounds\":[\"a\"]}]}",
     "initialize outbound[b]: circular dependency on outbound[a]"},
    {"final not found",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\"}],\"route\":{\"final\":\"nowhere\"}}",
     "default outbound not found: nowhere"},
    {"dns outbound", "{\"outbounds\":[{\"type\":\"dns\",\"tag\":\"dns-out\"}]}",
     "decode config: outbounds[0]: dns outbound is deprecated in sing-box 1.11.0 and removed in "
     "sing-box 1.13.0, use rule actions instead"},
    // Other checks.
    {"log level", "{\"log\":{\"level\":\"loud\"}}",
     "create log factory: parse log level: unknown log level: loud"},
    {"legacy clash api keys",
     "{\"experimental\":{\"clash_api\":{\"external_controller\":\"127.0.0.1:0\",\"store_mode\":"
     "true}}}",
     "cache_file and related fields in Clash API is deprecated in sing-box 1.8.0, use "
     "experimental.cache_file instead."},
    {"controller without port",
     "{\"experimental\":{\"clash_api\":{\"external_controller\":\"127.0.0.1\"}}}",
     "decode config: experimental.clash_api.external_controller: address 127.0.0.1: missing port "
     "in address"},
    {"unserved inbound type", "{\"inbounds\":[{\"type\":\"socks\",\"tag\":\"s\"}]}",
     "initialize inbound/socks[s]: inbound type not served by the reference engine: socks"},
    // Keys: unknown ones, and those the engine would have to ignore, refused with their path.
    {"unknown key in an inbound", "{\"inbounds\":[{\"type\":\"mixed\",\"foo\":1}]}",
     "decode config: inbounds[0].foo: json: unknown field \"foo\""},
    {"unknown key of a user",
     "{\"inbounds\":[{\"type\":\"mixed\",\"users\":[{\"username\":\"a\",\"pass\":\"b\"}]}]}",
     "decode config: inbounds[0].users[0].pass: json: unknown field \"pass\""},
    {"users of the wrong kind", "{\"inbounds\":[{\"type\":\"mixed\",\"users\":\"a:b\"}]}",
     "decode config: inbounds[0].users: json: cannot unmarshal string into Go value of type "
     "[]auth.User"},
    {"system proxy", "{\"inbounds\":[{\"type\":\"mixed\",\"set_system_proxy\":true}]}",
     "decode config: inbounds[0].set_system_proxy: not implemented by the reference engine"},
    {"tun auto redirect", "{\"inbounds\":[{\"type\":\"tun\",\"auto_redirect\":true}]}",
     "decode config: inbounds[0].auto_redirect: not implemented by the reference engine"},
    {"tun udp timeout", "{\"inbounds\":[{\"type\":\"tun\",\"udp_timeout\":\"soon\"}]}",
     "decode config: inbounds[0].udp_timeout: time: invalid duration \"soon\""},
    {"tun user-space stack", "{\"inbounds\":[{\"type\":\"tun\",\"stack\":\"gvisor\"}]}",
     "decode config: inbounds[0].stack: stack gvisor is not built into the reference engine, use "
     "\"system\""},
    {"dial field",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\",\"bind_interface\":\"eth0\"}]}",
     "decode config: outbounds[0].bind_interface: not implemented by the reference engine"},
    {"unknown key in an outbound",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\",\"override_port\":53}]}",
     "decode config: outbounds[0].override_port: json: unknown field \"override_port\""},
    // Outbound and rule options the engine does not act on, with their paths.
    {"socks4", "{\"outbounds\":[{\"type\":\"socks\",\"tag\":\"s\",\"version\":\"4a\"}]}",
     "decode config: outbounds[0].version: not implemented by the reference engine"},
    {"http over tls",
     "{\"outbounds\":[{\"type\":\"http\",\"tag\":\"h\",\"tls\":{\"enabled\":true}}]}",
     "decode config: outbounds[0].tls: not implemented by the reference engine"},
    {"shadowsocks plugin",
     "{\"outbounds\":[{\"type\":\"shadowsocks\",\"tag\":\"s\",\"method\":\"aes-128-gcm\","
     "\"plugin\":\"obfs-local\"}]}",
     "decode config: outbounds[0].plugin: not implemented by the reference engine"},
    {"shadowsocks 2022",
     "{\"outbounds\":[{\"type\":\"shadowsocks\",\"tag\":\"s\","
     "\"method\":\"2022-blake3-aes-128-gcm\"}]}",
     "decode config: outbounds[0].method: not implemented by the reference engine"},
    {"dial detour",
     "{\"outbounds\":[{\"type\":\"socks\",\"tag\":\"s\",\"detour\":\"d\"},"
     "{\"type\":\"direct\",\"tag\":\"d\"}]}",
     "decode config: outbounds[0].detour: not implemented by the reference engine"},
    {"rule action", "{\"route\":{\"rules\":[{\"port\":53,\"action\":\"reject\"}]}}",
     "decode config: route.rules[0].action: not implemented by the reference engine"},
    {"rule field",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\"}],"
     "\"route\":{\"rules\":[{\"domain_keyword\":\"x\",\"outbound\":\"d\"}]}}",
     "decode config: route.rules[0].domain_keyword: not implemented by the reference engine"},
    {"logical rule",
     "{\"route\":{\"rules\":[{\"type\":\"logical\",\"mode\":\"and\",\"rules\":[]}]}}",
     "decode config: route.rules[0].type: not implemented by the reference engine"},
    {"rule to a missing outbound",
     "{\"outbounds\":[{\"type\":\"direct\",\"tag\":\"d\"}],"
     "\"route\":{\"rules\":[{\"port\":80,\"outbound\":\"x\"}]}}",
     "decode config: route.rules[0]: outbound not found: x"},
    {"dns server type", "{\"dns\":{\"servers\":[{\"type\":\"local\",\"tag\":\"l\"}]}}",
     "decode config: dns.servers[0].type: not implemented by the reference engine: local"},
    {"dns rules", "{\"dns\":{\"rules\":[{\"domain\":\"x\",\"server\":\"l\"}]}}",
     "decode config: dns.rules: not implemented by the reference engine"},
    {"services", "{\"services\":[{\"type\":\"resolved\"}]}",
     "decode config: services: not implemented by the reference engine"},
    {"cache file", "{\"experimental\":{\"cache_file\":{\"enabled\":true}}}",
     "decode config: experimental.cache_file: not implemented by the reference engine"},
    {"controller ui",
     "{\"experimental\":{\"clash_api\":{\"external_controller\":\"127.0.0.1:0\","
     "\"external_ui\":\"ui\"}}}",
     "decode config: experimental.clash_api.external_ui: not implemented by the reference engine"},
    {"unknown log key", "{\"log\":{\"color\":true}}",
     "decode config: log.color: json: unknown field \"color\""},
};

TEST_F(EngineContractTest, ConfigurationChecksGiveTheEngineTexts) {
  for (const ConfigCase& c : kConfigCases) {
    SCOPED_TRACE(c.what);
    EXPECT_NE(library_->create_service(c.config), 0);
    EXPECT_EQ(library_->LastError(), c.error);
    EXPECT_EQ(library_->get_status(), 0);
  }
}

TEST_F(EngineContractTest, AcceptsAFullConfigurationWithCommentsAndIgnoredSections) {
  const char* config = R"({
    // comments are allowed
    "$schema": "x", "dns": {"servers": []}, "ntp": {"enabled": false},
    "route": {"rules": [], "final": "proxy", "auto_detect_interface": false},
    "log": {"level": "warning", "disabled": true},
    "outbounds": [
      {"type": "selector", "tag": "proxy", "outbounds": ["auto", "d"], "default": "d"},
      {"type": "urltest", "tag": "auto", "outbounds": ["d"], "interval": "1m30s"},
      {"type": "direct", "tag": "d"}, {"type": "direct"}
    ]})";
  EXPECT_EQ(library_->create_service(config), 0) << library_->LastError();
}

class EngineLogTest : public EngineContractTest {
 protected:
  // A service whose only resource is a controller on a free port.
  std::string Config(const std::string& log) {
    return R"({"log":)" + log +
           R"(,"experimental":{"clash_api":{"external_controller":"127.0.0.1:0"}}})";
  }
  void RunOnce(const std::string& config) {
    ASSERT_EQ(library_->create_service(config.c_str()), 0) << library_->LastError();
    ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
    ASSERT_EQ(library_->stop_service(), 0);
  }
};

TEST_F(EngineLogTest, WritesEngineLinesWithoutTimestamp) {
  std::string path = dir_.File("box.log");
  WriteFile(path, "earlier line\n");
  mode_t old = umask(022);
  ASSERT_EQ(
      library_->create_service(Config(R"({"level":"info","output":")" + path + "\"}").c_str()), 0)
      << library_->LastError();
  // The log opens at start, not at create.
  EXPECT_EQ(ReadFile(path), "earlier line\n");
  ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
  ASSERT_EQ(library_->stop_service(), 0);
  umask(old);
  std::string text = ReadFile(path);
  int port = ControllerPortFromLog(text);
  ASSERT_GT(port, 0) << text;
  std::regex expected(
      "earlier line\n"
      "INFO clash-api: restful api listening at 127\\.0\\.0\\.1:" +
      std::to_string(port) +
      "\n"
      "INFO sing-box started \\(\\d+\\.\\d\\ds\\)\n"
      "INFO sing-box stopped\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  // Private to its owner, whatever mode the file had.
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::string fresh = dir_.File("fresh.log");
  RunOnce(Config(R"({"output":")" + fresh + "\"}"));
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(EngineLogTest, TimestampPrefixAndLevelThreshold) {
  std::string path = dir_.File("stamped.log");
  RunOnce(Config(R"({"timestamp":true,"output":")" + path + "\"}"));
  std::string text = ReadFile(path);
  std::regex line(
      "[+-]\\d{4} \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d INFO clash-api: restful api "
      "listening at 127\\.0\\.0\\.1:\\d+\n");
  EXPECT_TRUE(std::regex_search(text, line)) << text;

  std::string quiet = dir_.File("quiet.log");
  RunOnce(Config(R"({"level":"warn","output":")" + quiet + "\"}"));
  EXPECT_TRUE(std::filesystem::exists(quiet));
  EXPECT_EQ(ReadFile(quiet), "");

  std::string disabled = dir_.File("disabled.log");
  RunOnce(Config(R"({"disabled":true,"output":")" + disabled + "\"}"));
  EXPECT_FALSE(std::filesystem::exists(disabled));
}

// A relative output lands in the working directory given at set-up, wherever the host runs.
TEST(EngineWorkingDirectoryTest, RelativeOutputLandsInTheWorkingDirectory) {
  // A private copy of the shipped file gives a library instance of its own set-up.
  TempDir dir;
  std::filesystem::copy_file(LibboxLibrary::BundlePath(), dir.File("libbox.so"));
  auto library = LibboxLibrary::Load(dir.File("libbox.so"));
  std::filesystem::create_directory(dir.File("working"));
  std::filesystem::create_directory(dir.File("elsewhere"));
  EXPECT_NE(library->setup_libbox(dir.path().c_str(), "working", dir.path().c_str()), 0);
  EXPECT_EQ(library->LastError(), "setup: working path is not absolute: working");
  ASSERT_EQ(
      library->setup_libbox(dir.path().c_str(), dir.File("working").c_str(), dir.path().c_str()),
      0);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.File("elsewhere"));
  const int created = library->create_service(R"({"log":{"output":"relative.log"}})");
  const int started = library->start_service();
  library->stop_service();
  std::filesystem::current_path(previous);
  ASSERT_EQ(created, 0) << library->LastError();
  ASSERT_EQ(started, 0) << library->LastError();
  EXPECT_NE(ReadFile(dir.File("working/relative.log")).find("INFO sing-box started"),
            std::string::npos);
  EXPECT_TRUE(ListDirectory(dir.File("elsewhere")).empty());
}

// A link planted at the log's name is not followed: the start fails and its target is untouched.
TEST_F(EngineLogTest, SymbolicLinkAtTheOutputIsRefused) {
  const std::string target = dir_.File("target");
  WriteFile(target, "kept\n", 0644);
  const std::string path = dir_.File("box.log");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  ASSERT_EQ(library_->create_service(Config(R"({"output":")" + path + "\"}").c_str()), 0);
  EXPECT_NE(library_->start_service(), 0);
  EXPECT_EQ(library_->LastError(),
            "create log factory: open " + path + ": too many levels of symbolic links");
  EXPECT_EQ(ReadFile(target), "kept\n");
  struct stat info;
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(EngineLogTest, UnopenableOutputFailsStartWithTheSystemText) {
  std::string path = dir_.File("missing/dir/box.log");
  ASSERT_EQ(library_->create_service(Config(R"({"output":")" + path + "\"}").c_str()), 0);
  EXPECT_NE(library_->start_service(), 0);
  EXPECT_EQ(library_->LastError(),
            "create log factory: open " + path + ": no such file or directory");
}

}  // namespace
}  // namespace korvane_test
