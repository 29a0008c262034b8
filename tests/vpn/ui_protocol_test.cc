// The protocol's reference against the host: the vpn channel's method table lists exactly the
// reference's methods in its order, each channel serves only its own, every argument error the
// reference shows an example of is the host's answer to that example, and every fixed answer
// is the host's. A drift on either side fails here.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "tests/support/mock_messenger.h"
#include "tests/support/test_files.h"
#include "tests/vpn/vpn_channel_fixture.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/channel/method_names.h"
#include "vpn/protocol/ui_protocol.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane_test {
namespace {

namespace protocol = korvane::protocol;

class UiProtocolTest : public VpnChannelTest {
 protected:
  // The one answer to `method` with `args_json` (nullptr: no argument), rendered.
  std::string Call(const char* channel, const char* method, const char* args_json) {
    korvane::FlValuePtr args;
    if (args_json != nullptr) {
      args = korvane::JsonToValue(nlohmann::json::parse(args_json));
    }
    return VpnChannelTest::Call(channel, method, args.release());
  }
};

TEST_F(UiProtocolTest, TheHostTableListsTheReferenceMethodsInOrder) {
  std::vector<std::string> reference;
  for (const protocol::Method& method : protocol::Methods()) {
    if (method.channel == protocol::ChannelId::kVpn) {
      reference.push_back(method.name);
    }
  }
  EXPECT_EQ(korvane::VpnMethodNames(), reference);
}

TEST_F(UiProtocolTest, EachChannelServesItsOwnMethodsOnly) {
  for (const protocol::Method& method : protocol::Methods()) {
    const bool on_core = method.channel == protocol::ChannelId::kCore;
    const char* other = on_core ? korvane::kVpnChannelName : korvane::kCoreChannelName;
    EXPECT_EQ(Call(other, method.name, nullptr), "not implemented") << method.name;
    // Calling the vpn channel's methods for real would connect, grant or restart: the table
    // check above covers them; the core channel's are harmless.
    if (on_core) {
      EXPECT_NE(Call(korvane::kCoreChannelName, method.name, nullptr), "not implemented")
          << method.name;
    }
  }
}

TEST_F(UiProtocolTest, EveryExampleOfAnErrorDrawsThatError) {
  int examples = 0;
  for (const protocol::Method& method : protocol::Methods()) {
    for (const protocol::Error& error : method.errors) {
      if (error.example_args == nullptr) {
        continue;
      }
      ASSERT_NE(error.message, nullptr) << method.name << ": an example needs a fixed message";
      ++examples;
      EXPECT_EQ(Call(protocol::ChannelName(method.channel), method.name, error.example_args),
                std::string("error ") + error.code + ": " + error.message)
          << method.name << " " << error.example_args;
    }
  }
  EXPECT_GE(examples, 10);
}

TEST_F(UiProtocolTest, FixedAnswersAreTheHostsAnswers) {
  for (const protocol::Method& method : protocol::Methods()) {
    if (method.fixed_answer != nullptr) {
      EXPECT_EQ(Call(protocol::ChannelName(method.channel), method.name, nullptr),
                std::string("success ") + method.fixed_answer)
          << method.name;
    }
  }
}

}  // namespace
}  // namespace korvane_test
