// End-to-end tests of the UI bridge: the bundle's korvane under Xvfb, reached as the UI would
// reach it, over its socket.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/embedding/garbage_frames.h"
#include "tests/support/host_fixture.h"

namespace korvane_test {
namespace {

using korvane::BridgeClient;

constexpr int kTimeoutMs = 20000;
// Served by nobody, now or later.
constexpr char kUnservedChannel[] = "korvane.test/unserved";

std::string KorvanectlPath() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/tools/korvanectl/korvanectl";
}

class BridgeE2ETest : public ::testing::Test {
 protected:
  void StartHost(const HostOptions& options = HostOptions()) {
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
  }

  std::unique_ptr<BridgeClient> ConnectClient() {
    std::string error;
    auto client = host_.Connect(&error);
    EXPECT_NE(client, nullptr) << error;
    return client;
  }

  // A client that is served normally: it gets the hello and a reply.
  void ExpectServed() {
    auto client = ConnectClient();
    ASSERT_NE(client, nullptr);
    BridgeClient::Response response = client->Call(kUnservedChannel, "ping", nullptr, kTimeoutMs);
    EXPECT_EQ(response.status, BridgeClient::Status::kNotImplemented) << response.failure;
  }

  HostFixture host_;
};

TEST_F(BridgeE2ETest, HelloReportsTheHostAndUnservedChannelsAreNotImplemented) {
  HostOptions options;
  options.args = {"--first", "second argument", "dritter \xc3\xbc"};
  StartHost(options);
  auto client = ConnectClient();
  ASSERT_NE(client, nullptr);

  FlValue* hello = client->hello();
  ASSERT_NE(hello, nullptr);
  FlValue* protocol = fl_value_lookup_string(hello, "protocol");
  ASSERT_NE(protocol, nullptr);
  EXPECT_EQ(fl_value_get_int(protocol), 1);
  FlValue* pid = fl_value_lookup_string(hello, "pid");
  ASSERT_NE(pid, nullptr);
  EXPECT_EQ(fl_value_get_int(pid), host_.host_pid());
  FlValue* application = fl_value_lookup_string(hello, "application");
  ASSERT_NE(application, nullptr);
  EXPECT_STREQ(fl_value_get_string(application), "com.quorandel.korvane");
  FlValue* args = fl_value_lookup_string(hello, "entrypointArguments");
  ASSERT_NE(args, nullptr);
  ASSERT_EQ(fl_value_get_type(args), FL_VALUE_TYPE_LIST);
  ASSERT_EQ(fl_value_get_length(args), options.args.size());
  for (size_t i = 0; i < options.args.size(); i++) {
    EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(args, i)), options.args[i].c_str());
  }

  BridgeClient::Response response = client->Call(kUnservedChannel, "anything", nullptr, kTimeoutMs);
  EXPECT_EQ(response.status, BridgeClient::Status::kNotImplemented) << response.failure;
  // The connection stays usable after a not-implemented answer.
  response = client->Call(kUnservedChannel, "again", nullptr, kTimeoutMs);
  EXPECT_EQ(response.status, BridgeClient::Status::kNotImplemented) << response.failure;
  // Exactly one reply to the first call: a second would have come before the reply to "again".
  EXPECT_EQ(client->unmatched_replies(), 0);

  EXPECT_FALSE(host_.Screenshot("bridge_e2e_hello").empty());
}

TEST_F(BridgeE2ETest, SecondClientIsClosedAtOnceWhileTheFirstIsServed) {
  StartHost();
  auto first = ConnectClient();
  ASSERT_NE(first, nullptr);

  BridgeClient second;
  std::string error;
  ASSERT_TRUE(second.ConnectSocket(host_.socket_path(), &error)) << error;
  EXPECT_FALSE(second.ReadHello(kTimeoutMs, &error));
  EXPECT_FALSE(second.connected()) << "the host should have closed the second connection";
  EXPECT_TRUE(host_.WaitForStderr("refused a second client", kTimeoutMs));

  BridgeClient::Response response = first->Call(kUnservedChannel, "ping", nullptr, kTimeoutMs);
  EXPECT_EQ(response.status, BridgeClient::Status::kNotImplemented) << response.failure;

  // One refusal, one line.
  EXPECT_EQ(korvane_test::CountBridgeLines(host_.Stderr(), "refused"), 1) << host_.Stderr();

  // Once the first has gone, the next one is welcome.
  first.reset();
  ExpectServed();
}

TEST_F(BridgeE2ETest, ClientOfAnotherUidIsRefusedEvenWhenTheFileModesAllowIt) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a client as uid 65534";
  }
  StartHost();
  // Open the path to everybody, so only the peer check can stop the other user.
  std::string socket_dir = host_.runtime_dir() + "/korvane";
  for (const auto& dir : {host_.dir(), host_.runtime_dir(), socket_dir}) {
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0) << dir;
  }
  ASSERT_EQ(chmod(host_.socket_path().c_str(), 0666), 0);

  // Exit 0: hello received; 4: closed without a word; 5: could not connect.
  const char* kProbe =
      "import socket, sys\n"
      "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
      "s.settimeout(20)\n"
      "try:\n"
      "    s.connect(sys.argv[1])\n"
      "except OSError as e:\n"
      "    print(e); sys.exit(5)\n"
      "try:\n"
      "    data = s.recv(4096)\n"
      "except OSError:\n"
      "    data = b''\n"
      "sys.exit(0 if data else 4)\n";
  std::string output;
  int status = host_.RunWithHostEnvironment(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
       "/usr/bin/python3", "-c", kProbe, host_.socket_path()},
      &output);
  EXPECT_EQ(status, 4) << output;
  EXPECT_TRUE(host_.WaitForStderr("refused a client of uid 65534", kTimeoutMs));

  // The same probe as the host's own user is served.
  status = host_.RunWithHostEnvironment({"/usr/bin/python3", "-c", kProbe, host_.socket_path()},
                                        &output);
  EXPECT_EQ(status, 0) << output;
  ExpectServed();
}

TEST_F(BridgeE2ETest, GarbageFramesCloseOnlyTheirConnection) {
  StartHost();
  for (const auto& garbage : korvane_test::GarbageFrames()) {
    SCOPED_TRACE(garbage.name);
    int lines_before = korvane_test::CountBridgeLines(host_.Stderr(), "closing the UI connection");
    auto client = ConnectClient();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->SendRaw(garbage.bytes));
    EXPECT_TRUE(client->WaitForClose(kTimeoutMs));
    EXPECT_TRUE(host_.WaitForStderr(garbage.fragment, kTimeoutMs)) << host_.Stderr();
    EXPECT_EQ(korvane_test::CountBridgeLines(host_.Stderr(), "closing the UI connection"),
              lines_before + 1)
        << host_.Stderr();
    ASSERT_TRUE(host_.IsHostRunning());
  }

  // A client that leaves in the middle of a frame is no fault of the protocol: no line.
  int lines_before = korvane_test::CountBridgeLines(host_.Stderr(), "closing the UI connection");
  {
    auto client = ConnectClient();
    ASSERT_NE(client, nullptr);
    std::string frame =
        BridgeClient::EncodeFrame(1, 1, kUnservedChannel, std::string("\x07\x01m\x00", 4));
    ASSERT_TRUE(client->SendRaw(frame.substr(0, frame.size() / 2)));
  }
  ExpectServed();
  EXPECT_EQ(korvane_test::CountBridgeLines(host_.Stderr(), "closing the UI connection"),
            lines_before);
  EXPECT_TRUE(host_.IsHostRunning());

  // The host then shuts down cleanly: under the sanitizers a leak would fail its exit.
  int status = host_.StopHost();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n"
                                                             << host_.Stderr();
}

TEST_F(BridgeE2ETest, SecondHostLeavesTheFirstReachable) {
  StartHost();
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);
  // A second host with the same environment (and so the same socket) runs until it has said
  // that it runs without the bridge, and is then ended as a person would end it.
  const std::string second_stderr = host_.dir() + "/second.stderr";
  constexpr char kSecond[] =
      "\"$1\" >/dev/null 2>\"$2\" & pid=$!\n"
      "i=0\n"
      "while ! grep -q 'not listening' \"$2\" && kill -0 $pid 2>/dev/null && [ $i -lt 400 ]; do\n"
      "  sleep 0.05; i=$((i + 1))\n"
      "done\n"
      "kill -TERM $pid; wait $pid\n"
      "cat \"$2\"\n";
  std::string output;
  host_.RunWithHostEnvironment(
      {"/bin/sh", "-c", kSecond, "sh", std::string(bundle) + "/korvane", second_stderr}, &output);
  EXPECT_NE(output.find("[UI bridge] not listening: " + host_.socket_path() +
                        " is served by another running instance"),
            std::string::npos)
      << output;

  // The first host is still the one korvanectl reaches.
  EXPECT_EQ(host_.RunWithHostEnvironment({KorvanectlPath(), "hello"}, &output), 0) << output;
  EXPECT_NE(output.find("\"pid\":" + std::to_string(host_.host_pid())), std::string::npos)
      << output;
  EXPECT_TRUE(host_.IsHostRunning());
}

TEST_F(BridgeE2ETest, KorvanectlExitStatus) {
  StartHost();
  std::string korvanectl = KorvanectlPath();
  std::string output;

  EXPECT_EQ(host_.RunWithHostEnvironment({korvanectl, "hello"}, &output), 0) << output;
  EXPECT_NE(output.find("\"protocol\":1"), std::string::npos) << output;
  EXPECT_NE(output.find("\"application\":\"com.quorandel.korvane\""), std::string::npos) << output;

  // No method of this name exists on either channel: sent anyway, the host lacks it.
  EXPECT_EQ(
      host_.RunWithHostEnvironment({korvanectl, "call", "noSuchMethod", "--unlisted"}, &output), 6)
      << output;
  EXPECT_EQ(
      host_.RunWithHostEnvironment({korvanectl, "call", "noSuchMethod", "{\"a\":[1,2.5,null]}",
                                    "--channel", "core", "--unlisted"},
                                   &output),
      6)
      << output;
  // Bad usage: nothing is sent.
  EXPECT_EQ(host_.RunWithHostEnvironment({korvanectl, "call", "noSuchMethod"}, &output), 2)
      << output;
  EXPECT_EQ(host_.RunWithHostEnvironment({korvanectl, "call", "getStatus", "{not json"}, &output),
            2)
      << output;
  EXPECT_EQ(
      host_.RunWithHostEnvironment({korvanectl, "call", "getStatus", "--channel", "nope"}, &output),
      2)
      << output;

  // The host serves its event channel: korvanectl listens until interrupted, then cancels and
  // ends with success.
  EXPECT_EQ(host_.RunWithHostEnvironment(
                {"timeout", "--preserve-status", "-s", "INT", "3", korvanectl, "events"}, &output),
            0)
      << output;

  // No host: nothing at the path, and a socket file nobody listens on.
  std::string missing = host_.dir() + "/missing.sock";
  EXPECT_EQ(host_.RunWithHostEnvironment(
                {"env", "KORVANE_UI_SOCKET=" + missing, korvanectl, "call", "getStatus"}, &output),
            3)
      << output;
  std::string stale = host_.dir() + "/stale.sock";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", stale.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
  EXPECT_EQ(host_.RunWithHostEnvironment({"env", "KORVANE_UI_SOCKET=" + stale, korvanectl, "hello"},
                                         &output),
            3)
      << output;
}

}  // namespace
}  // namespace korvane_test
