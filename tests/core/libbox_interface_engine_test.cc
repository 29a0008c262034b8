// The binding against the reference engine that this build puts in the bundle
// (KORVANE_BUNDLE_DIR/lib/libbox.so): the build's digest passes the audit, and set-up, create,
// start and stop work with a minimal configuration.
#include <stdlib.h>

#include "core/libbox_interface.h"
#include "tests/core/test_engines/test_engine_control.h"

namespace {

using korvane_test::Capture;
using korvane_test::Captured;
using korvane_test::EngineTreeTest;
using korvane_test::SystemSha256;

// The bundle's lib directory appears as ./lib of the private tree.
class LibboxReferenceEngineTest : public EngineTreeTest {
 protected:
  void SetUp() override {
    EngineTreeTest::SetUp();
    const char* bundle = getenv("KORVANE_BUNDLE_DIR");
    // CTest sets the variable and the build makes the library before this test.
    ASSERT_TRUE(bundle != nullptr && *bundle != '\0') << "KORVANE_BUNDLE_DIR is not set";
    library_ = std::string(bundle) + "/lib/libbox.so";
    ASSERT_TRUE(std::filesystem::exists(library_))
        << "the reference engine is not built: " << library_;
    std::filesystem::create_directory_symlink(std::string(bundle) + "/lib", work_ / "lib");
  }

  // Loads the engine and sets it up with three private directories.
  void LoadAndSetUp() {
    Capture([] { ASSERT_TRUE(LibboxInterface::Initialize()); });
    for (const char* dir : {"base", "working", "temp"}) {
      std::filesystem::create_directories(root_ / dir);
    }
    Captured c = Capture([&] {
      ASSERT_TRUE(LibboxInterface::Setup((root_ / "base").string(), (root_ / "working").string(),
                                         (root_ / "temp").string()));
    });
    ASSERT_EQ(c.err, "");
  }

  std::string MinimalConfig() {
    return R"({"log":{"level":"info","output":")" + (root_ / "box.log").string() +
           R"("},"outbounds":[{"type":"direct","tag":"direct"}]})";
  }

  std::string library_;
};

TEST_F(LibboxReferenceEngineTest, BuildDigestMatchesTheBundledLibrary) {
  EXPECT_EQ(std::string(kLibboxExpectedSha256), SystemSha256(library_));

  bool loaded = false;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_TRUE(loaded);
  EXPECT_EQ(c.err, "") << "the audit of the bundled library must pass silently";
  EXPECT_EQ(c.out,
            "Loaded verified libbox from: ./lib/libbox.so\n"
            "All libbox functions loaded successfully\n");
  const std::string version = LibboxInterface::GetVersion();
  EXPECT_NE(version, "unknown");
  EXPECT_FALSE(version.empty());
}

TEST_F(LibboxReferenceEngineTest, SetUpCreateStartStop) {
  LoadAndSetUp();
  EXPECT_EQ(LibboxInterface::GetStatus(), 0);

  Captured create = Capture([&] { EXPECT_TRUE(LibboxInterface::CreateService(MinimalConfig())); });
  EXPECT_EQ(create.err, "");
  Captured start = Capture([] { EXPECT_TRUE(LibboxInterface::StartService()); });
  EXPECT_EQ(start.err, "");
  EXPECT_NE(start.out.find("Service started successfully\n"), std::string::npos);
  EXPECT_NE(LibboxInterface::GetStatus(), 0);
  Captured stop = Capture([] { EXPECT_TRUE(LibboxInterface::StopService()); });
  EXPECT_EQ(stop.out, "Service stopped successfully\n");
  EXPECT_EQ(LibboxInterface::GetStatus(), 0);
  EXPECT_TRUE(std::filesystem::exists(root_ / "box.log")) << "start opens the configured log";
}

TEST_F(LibboxReferenceEngineTest, SecondCreateReplacesTheService) {
  LoadAndSetUp();
  // The engine refuses a create while a service exists; the binding stops the old one first.
  Capture([&] { ASSERT_TRUE(LibboxInterface::CreateService(MinimalConfig())); });
  Captured again = Capture([&] { EXPECT_TRUE(LibboxInterface::CreateService(MinimalConfig())); });
  EXPECT_EQ(again.out, "Service stopped successfully\nService created successfully\n");
  EXPECT_EQ(again.err, "");
  Capture([] { EXPECT_TRUE(LibboxInterface::StopService()); });
}

TEST_F(LibboxReferenceEngineTest, BadConfigurationCarriesTheEnginesMessage) {
  LoadAndSetUp();
  Captured c = Capture([] { EXPECT_FALSE(LibboxInterface::CreateService("{")); });
  const std::string prefix = "Failed to create service (code ";
  EXPECT_EQ(c.err.rfind(prefix, 0), 0u) << c.err;
  EXPECT_EQ(c.err.find("Unknown error"), std::string::npos) << c.err;
  EXPECT_NE(c.err.find("decode config"), std::string::npos) << c.err;
  Captured start = Capture([] { EXPECT_FALSE(LibboxInterface::StartService()); });
  EXPECT_EQ(start.err, "service not created\n");
}

}  // namespace
