// The facts the connection controller reads from a configuration text by substring search, and
// the user messages it makes of the engine's failure texts.

#include "vpn/config_probe.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane_test {
namespace {

using korvane::CreateFailureMessage;
using korvane::FindMixedInboundPort;
using korvane::HasMixedInbound;
using korvane::kDefaultMixedPort;
using korvane::StartFailureMessage;

struct MixedCase {
  const char* name;
  const char* config;
  bool mixed;
  int port;
};

const MixedCase kMixedCases[] = {
    {"OneSpace", R"({"inbounds": [{"type": "mixed", "tag": "mixed-in", "listen_port": 2080}]})",
     true, 2080},
    {"NoSpace", R"({"inbounds":[{"type":"mixed","tag":"mixed-in","listen_port":7890}]})", true,
     7890},
    {"SpaceBeforeColonIsNotMixed",
     R"({"inbounds": [{"type" : "mixed", "tag": "mixed-in", "listen_port": 2080}]})", false, 2080},
    {"TwoSpacesIsNotMixed", R"({"inbounds": [{"type":  "mixed", "tag": "mixed-in"}]})", false,
     kDefaultMixedPort},
    {"OtherTagGivesTheDefault",
     R"({"inbounds": [{"type": "mixed", "tag": "http-in", "listen_port": 2080}]})", true,
     kDefaultMixedPort},
    {"QuotedPortGivesTheDefault",
     R"({"inbounds": [{"type": "mixed", "tag": "mixed-in", "listen_port": "2080"}]})", true,
     kDefaultMixedPort},
    {"TabsAndSpacesAfterTheColon",
     "{\"inbounds\": [{\"type\": \"mixed\", \"tag\": \"mixed-in\", \"listen_port\": \t 3128}]}",
     true, 3128},
    {"NewlineAfterTheColonGivesTheDefault",
     "{\"inbounds\": [{\"type\": \"mixed\", \"tag\": \"mixed-in\", \"listen_port\":\n3128}]}", true,
     kDefaultMixedPort},
    {"PortOfAnEarlierInboundIsNotTaken",
     R"({"inbounds": [{"type": "socks", "tag": "socks-in", "listen_port": 1080},
                      {"type": "mixed", "tag": "mixed-in", "listen_port": 2081}]})",
     true, 2081},
    {"TagFoundByNameNotType",
     R"({"inbounds": [{"type": "tun", "tag": "mixed-in", "listen_port": 4000}]})", false, 4000},
    {"LeadingZeros",
     R"({"inbounds": [{"type": "mixed", "tag": "mixed-in", "listen_port": 0002080}]})", true, 2080},
    {"DigitsStopAtTheFirstOtherCharacter",
     R"({"inbounds": [{"type": "mixed", "tag": "mixed-in", "listen_port": 20x80}]})", true, 20},
    {"TextEndsAfterTheColon", R"({"type": "mixed", "tag": "mixed-in", "listen_port":)", true,
     kDefaultMixedPort},
    {"NumberTooBigForAnInt",
     R"({"inbounds": [{"type": "mixed", "tag": "mixed-in", "listen_port": 99999999999}]})", true,
     kDefaultMixedPort},
    {"NoListenPort", R"({"inbounds": [{"type": "mixed", "tag": "mixed-in"}]})", true,
     kDefaultMixedPort},
};

class MixedInboundTest : public ::testing::TestWithParam<MixedCase> {};

TEST_P(MixedInboundTest, DetectsTheInboundAndItsPort) {
  const MixedCase& c = GetParam();
  EXPECT_EQ(HasMixedInbound(c.config), c.mixed);
  EXPECT_EQ(FindMixedInboundPort(c.config), c.port);
}

INSTANTIATE_TEST_SUITE_P(Configurations,
                         MixedInboundTest,
                         ::testing::ValuesIn(kMixedCases),
                         [](const ::testing::TestParamInfo<MixedCase>& info) {
                           return std::string(info.param.name);
                         });

struct MessageCase {
  const char* engine_text;
  const char* prefix;
};

constexpr char kPermission[] =
    "Permission denied - need root or CAP_NET_ADMIN for TUN device. Error: ";
constexpr char kTun[] = "TUN device error - check /dev/net/tun exists and is accessible. Error: ";
constexpr char kPort[] = "Port already in use - another VPN or proxy may be running. Error: ";
constexpr char kCreate[] = "Failed to create service: ";
constexpr char kNetwork[] = "Network error - check internet connection. Error: ";
constexpr char kConfiguration[] = "Configuration error - invalid VPN config. Error: ";
constexpr char kStart[] = "Failed to start service: ";

TEST(FailureMessageTest, CreateFailuresAreClassifiedInTableOrder) {
  const MessageCase cases[] = {
      {"open /dev/net/tun: permission denied", kPermission},
      {"Permission to the device refused", kPermission},
      // Permission is tested before the device.
      {"tun: permission denied", kPermission},
      // The kernel's EPERM for a TUN without CAP_NET_ADMIN names no "permission".
      {"start inbound/tun[tun-in]: configure tun interface: operation not permitted", kPermission},
      {"configure tun interface: device or resource busy", kTun},
      {"TUN is missing", kTun},
      {"listen tcp 127.0.0.1:2080: bind: address already in use", kPort},
      {"address already in use", kPort},
      // The device is tested before the port.
      {"tun bind", kTun},
      {"decode config: outbounds[1]: unknown outbound type: teleport", kCreate},
      // Case matters.
      {"PERMISSION", kCreate},
      {"Tun", kCreate},
      {"BIND", kCreate},
      {"Operation not permitted", kCreate},
      {"", kCreate},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.engine_text);
    EXPECT_EQ(CreateFailureMessage(c.engine_text), std::string(c.prefix) + c.engine_text);
  }
}

TEST(FailureMessageTest, StartFailuresAreClassifiedInTableOrder) {
  const MessageCase cases[] = {
      {"dial network unreachable", kNetwork},
      // Network is tested before configuration.
      {"network config broken", kNetwork},
      {"bad config", kConfiguration},
      {"cannot parse rule", kConfiguration},
      {"create log factory: open /x/y.log: no such file or directory", kStart},
      // The create table's words mean nothing here.
      {"permission denied", kStart},
      {"Network down", kStart},
      {"Config", kStart},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.engine_text);
    EXPECT_EQ(StartFailureMessage(c.engine_text), std::string(c.prefix) + c.engine_text);
  }
}

}  // namespace
}  // namespace korvane_test
