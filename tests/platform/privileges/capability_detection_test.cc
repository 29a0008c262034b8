// Whether the process may configure the network, and whether a file carries the network
// capability, asked of the real kernel: root with and without CAP_NET_ADMIN, an ordinary user
// holding it only permitted or also effective, and files given capabilities by the real setcap.

#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "platform/platform_service.h"
#include "tests/platform/elevation_test_support.h"
#include "tests/platform/namespace_helper.h"

namespace {

using korvane_test::CaptureOutput;
using korvane_test::Isolation;
using korvane_test::Output;
using korvane_test::RunIsolated;

// Sets CAP_NET_ADMIN's permitted and effective flags of this process (others untouched).
bool SetNetAdmin(bool permitted, bool effective) {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    return false;
  }
  cap_value_t value = CAP_NET_ADMIN;
  bool ok = cap_set_flag(caps, CAP_PERMITTED, 1, &value, permitted ? CAP_SET : CAP_CLEAR) == 0 &&
            cap_set_flag(caps, CAP_EFFECTIVE, 1, &value, effective ? CAP_SET : CAP_CLEAR) == 0 &&
            cap_set_proc(caps) == 0;
  cap_free(caps);
  return ok;
}

std::string Report(const std::string& uid_line, bool effective, bool allowed) {
  return std::string(korvane::kPlatformServiceTag) + " Checking network capabilities...\n" +
         std::string(korvane::kPlatformServiceTag) + " Running as UID: " + uid_line +
         "\n[PlatformService] CAP_NET_ADMIN effective: " + (effective ? "YES" : "NO") +
         "\n[PlatformService] Final capability check result: " + (allowed ? "ALLOWED" : "DENIED") +
         "\n";
}

TEST(CapabilityDetectionTest, ProcessTestCountsRootOrTheEffectiveFlag) {
  RunIsolated(Isolation(), [] {
    struct Step {
      const char* what;
      // Applied before the check; uid 65534 once dropped stays dropped.
      bool drop_to_nobody;
      bool permitted;
      bool effective;
      bool allowed;
      const char* uid_line;
    };
    const Step steps[] = {
        {"root with the capability", false, true, true, true, "0 (root)"},
        // Root needs no capability.
        {"root without it", false, true, false, true, "0 (root)"},
        // Only the effective flag counts.
        {"user, permitted only", true, true, false, false, "65534 (non-root)"},
        {"user, effective", true, true, true, true, "65534 (non-root)"},
        {"user, none", true, false, false, false, "65534 (non-root)"},
    };
    bool dropped = false;
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      if (step.drop_to_nobody && !dropped) {
        // Keep the permitted set across the change of uid.
        ASSERT_EQ(prctl(PR_SET_KEEPCAPS, 1), 0);
        ASSERT_EQ(setresgid(65534, 65534, 65534), 0);
        ASSERT_EQ(setresuid(65534, 65534, 65534), 0);
        dropped = true;
      }
      ASSERT_TRUE(SetNetAdmin(step.permitted, step.effective));
      bool allowed = !step.allowed;
      Output output = CaptureOutput([&] { allowed = PlatformService::HasNetworkCapabilities(); });
      EXPECT_EQ(allowed, step.allowed);
      EXPECT_EQ(output.out, Report(step.uid_line, step.effective, step.allowed));
      EXPECT_EQ(output.err, "");
      EXPECT_EQ(PlatformService::IsRunningAsRoot(), !dropped);

      // The named check is the same test, for exactly one name, and says nothing otherwise.
      bool named = !step.allowed;
      output = CaptureOutput([&] { named = PlatformService::CheckCapability("CAP_NET_ADMIN"); });
      EXPECT_EQ(named, step.allowed);
      EXPECT_EQ(output.out, Report(step.uid_line, step.effective, step.allowed));
      for (const char* other : {"cap_net_admin", "CAP_SYS_ADMIN", "CAP_NET_ADMIN ", ""}) {
        output = CaptureOutput([&] { EXPECT_FALSE(PlatformService::CheckCapability(other)); });
        EXPECT_EQ(output.out + output.err, "") << other;
      }
    }
  });
}

TEST(CapabilityDetectionTest, FileTestNeedsPermittedAndEffective) {
  RunIsolated(Isolation(), [] {
    struct Case {
      const char* setcap;
      bool capable;
    };
    const Case cases[] = {
        {"cap_net_admin+ep", true},
        {"cap_net_admin+eip", true},
        {"cap_net_admin,cap_net_raw+ep", true},
        // Permitted but not effective does not count.
        {"cap_net_admin+p", false},
        {"cap_net_admin+ip", false},
        {"cap_net_admin+i", false},
        {"cap_net_raw+ep", false},
        {nullptr, false},
    };
    for (const Case& c : cases) {
      const std::string path = "/tmp/capfile";
      unlink(path.c_str());
      korvane_test::WriteFile(path, "#!/bin/sh\n", 0755);
      if (c.setcap != nullptr) {
        ASSERT_EQ(system(("setcap " + std::string(c.setcap) + " " + path).c_str()), 0) << c.setcap;
        ASSERT_NE(korvane_test::GetCap(path), "");
      }
      Output output = CaptureOutput([&] {
        EXPECT_EQ(PlatformService::FileHasNetAdminCapability(path), c.capable)
            << (c.setcap ? c.setcap : "no capabilities");
      });
      EXPECT_EQ(output.out + output.err, "");
    }
    for (const char* missing : {"/tmp/no-such-file", "", "/tmp/no-such-dir/korvane"}) {
      EXPECT_FALSE(PlatformService::FileHasNetAdminCapability(missing)) << missing;
    }
  });
}

}  // namespace
