#ifndef TESTS_VPN_VPN_CHANNEL_FIXTURE_H_
#define TESTS_VPN_VPN_CHANNEL_FIXTURE_H_

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>

#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "tests/support/mock_messenger.h"
#include "tests/support/test_files.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane_test {

// The host's two channels on a mock messenger playing the Dart side, on the default main
// context. The host's own files go to a private tree; the desktop proxy is the process
// environment.
class VpnChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_main_context_acquire(g_main_context_default()));
    messenger_ = fl_mock_binary_messenger_new();
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    vpn_channel_ = fl_method_channel_new(FL_BINARY_MESSENGER(messenger_), korvane::kVpnChannelName,
                                         FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(vpn_channel_, VPNManager::HandleMethodCallStatic,
                                              nullptr, nullptr);
    core_channel_ = fl_method_channel_new(FL_BINARY_MESSENGER(messenger_),
                                          korvane::kCoreChannelName, FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(core_channel_, VPNManager::HandleCoreMethodCallStatic,
                                              nullptr, nullptr);
  }

  void TearDown() override {
    VPNManager::ResetForTesting();
    LibboxLogBuffer::resetForTesting();
    LibboxInterface::ResetForTesting();
    ProxyManager::ResetForTesting();
    g_clear_object(&vpn_channel_);
    g_clear_object(&core_channel_);
    g_clear_object(&messenger_);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_context_release(g_main_context_default());
  }

  // Calls `method` (taking `args`) and renders its one answer ("success true", "error CODE:
  // message", ...).
  std::string Call(const char* channel, const char* method, FlValue* args) {
    g_autoptr(FlValue) owned_args = args;
    g_autoptr(GError) error = nullptr;
    guint call_id = 0;
    g_autoptr(FlMethodResponse) response = fl_mock_binary_messenger_invoke_method_sync(
        messenger_, channel, method, owned_args, &error, &call_id);
    if (response == nullptr) {
      return std::string("no answer: ") + (error ? error->message : "?");
    }
    const int answers = fl_mock_binary_messenger_get_response_count(messenger_, call_id);
    if (answers != 1) {
      return "answered " + std::to_string(answers) + " times";
    }
    return fl_mock_response_to_string(response);
  }

  TempDir dir_;
  ScopedEnv config_home_{"XDG_CONFIG_HOME", dir_.File("config").c_str()};
  ScopedEnv home_{"HOME", dir_.path().c_str()};
  ScopedEnv desktop_{"XDG_CURRENT_DESKTOP", nullptr};
  ScopedEnv session_{"DESKTOP_SESSION", nullptr};
  FlMockBinaryMessenger* messenger_ = nullptr;
  FlMethodChannel* vpn_channel_ = nullptr;
  FlMethodChannel* core_channel_ = nullptr;
};

}  // namespace korvane_test

#endif  // TESTS_VPN_VPN_CHANNEL_FIXTURE_H_
