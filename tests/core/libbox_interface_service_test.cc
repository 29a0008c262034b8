// Service operations against the purpose-built test engine (results forced per test) and with
// nothing bound.
#include <stdlib.h>

#include "base/logger.h"
#include "core/libbox_interface.h"
#include "tests/core/test_engines/test_engine_control.h"

namespace korvane_test {
namespace {

// Nothing loaded: every operation falls back without touching an engine.
class LibboxServiceUnboundTest : public testing::Test {
 protected:
  void TearDown() override { LibboxInterface::ResetForTesting(); }
};

TEST_F(LibboxServiceUnboundTest, OperationsFailWithTheirFallbacks) {
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"Setup", [] { EXPECT_FALSE(LibboxInterface::Setup("/b", "/w", "/t")); }},
      {"CreateService", [] { EXPECT_FALSE(LibboxInterface::CreateService("{}")); }},
      {"StartService", [] { EXPECT_FALSE(LibboxInterface::StartService()); }},
      {"StopService", [] { EXPECT_FALSE(LibboxInterface::StopService()); }},
      {"GetStatus", [] { EXPECT_EQ(LibboxInterface::GetStatus(), -1); }},
  };
  for (const Case& c : cases) {
    Captured output = Capture(c.run);
    EXPECT_EQ(output.err, "libbox not initialized\n") << c.name;
    EXPECT_EQ(output.out, "") << c.name;
  }
}

TEST_F(LibboxServiceUnboundTest, QueriesAnswerTheirFallbackTexts) {
  std::string version;
  Captured v = Capture([&] { version = LibboxInterface::GetVersion(); });
  EXPECT_EQ(version, "unknown");
  EXPECT_EQ(v.err + v.out, "");

  std::string error;
  Captured e = Capture([&] { error = LibboxInterface::GetLastError(); });
  EXPECT_EQ(error, "libbox not initialized (no error getter)");
  EXPECT_EQ(e.err, std::string(korvane::kLibboxTag) + " GetLastError: get_last_error_ is null\n");

  char text[] = "not the engine's";
  Captured f = Capture([&] { LibboxInterface::FreeString(text); });
  EXPECT_EQ(f.err + f.out, "");
}

// The test engine loaded from ./lib/libbox.so of a private tree; `engine_` steers it.
class LibboxServiceTest : public EngineTreeTest {
 protected:
  void SetUp() override {
    EngineTreeTest::SetUp();
    Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
    LibboxInterface::SetExpectedSha256ForTesting("");
    Capture([] { ASSERT_TRUE(LibboxInterface::Initialize()); });
    engine_ = std::make_unique<TestEngineControl>("./lib/libbox.so");
    ASSERT_TRUE(engine_->loaded());
  }

  void TearDown() override {
    engine_.reset();
    EngineTreeTest::TearDown();
  }

  // Sets up with fixed paths and forgets the journal so far.
  void SetUpEngine() {
    Capture([] { ASSERT_TRUE(LibboxInterface::Setup("/b", "/w", "/t")); });
    engine_->Reset();
  }

  std::unique_ptr<TestEngineControl> engine_;
};

TEST_F(LibboxServiceTest, SetupDisablesChownAndReportsThePaths) {
  setenv("LIBBOX_DISABLE_CHOWN", "0", 1);
  bool ok = false;
  Captured c = Capture([&] { ok = LibboxInterface::Setup("/base", "/cfg/working", "/cfg/temp"); });

  EXPECT_TRUE(ok);
  EXPECT_EQ(c.out,
            "Setting up libbox with paths:\n"
            "  Base: /base\n"
            "  Working: /cfg/working\n"
            "  Temp: /cfg/temp\n"
            "libbox setup_libbox returned: 0\n"
            "libbox setup completed successfully\n");
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(engine_->Journal(),
            "setup_libbox(/base,/cfg/working,/cfg/temp,LIBBOX_DISABLE_CHOWN=1)");
}

TEST_F(LibboxServiceTest, FailedSetupLeavesCreationRefused) {
  engine_->SetCodes(-3, 0, 0, 0);
  bool ok = true;
  Captured c = Capture([&] { ok = LibboxInterface::Setup("/b", "/w", "/t"); });
  EXPECT_FALSE(ok);
  EXPECT_NE(c.out.find("libbox setup_libbox returned: -3\n"), std::string::npos);
  EXPECT_EQ(c.out.find("completed"), std::string::npos);
  EXPECT_EQ(c.err, "Failed to setup libbox: -3\n");

  Captured create = Capture([&] { EXPECT_FALSE(LibboxInterface::CreateService("{}")); });
  EXPECT_EQ(create.err, "libbox not setup\n");
  EXPECT_EQ(engine_->Journal().find("create_service"), std::string::npos);
}

TEST_F(LibboxServiceTest, CreateBeforeSetupNeverCallsTheEngine) {
  Captured c = Capture([] { EXPECT_FALSE(LibboxInterface::CreateService("{\"a\":1}")); });
  EXPECT_EQ(c.err, "libbox not setup\n");
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(engine_->Journal(), "");
}

TEST_F(LibboxServiceTest, CreateStartStopCycle) {
  SetUpEngine();
  Captured create = Capture([] { EXPECT_TRUE(LibboxInterface::CreateService("{\"x\":1}")); });
  EXPECT_EQ(create.out, "Service created successfully\n");
  Captured start = Capture([] { EXPECT_TRUE(LibboxInterface::StartService()); });
  EXPECT_EQ(start.out,
            "Attempting to start libbox service...\n"
            "libbox initialized: yes\n"
            "service created: yes\n"
            "libbox start_service returned: 0\n"
            "Service started successfully\n");
  Captured stop = Capture([] { EXPECT_TRUE(LibboxInterface::StopService()); });
  EXPECT_EQ(stop.out, "Service stopped successfully\n");
  EXPECT_EQ(create.err + start.err + stop.err, "");
  EXPECT_EQ(engine_->Journal(), "create_service({\"x\":1});start_service;stop_service");

  // Stopped means no service: starting again is refused before the engine.
  Captured again = Capture([] { EXPECT_FALSE(LibboxInterface::StartService()); });
  EXPECT_EQ(again.err, "service not created\n");
}

TEST_F(LibboxServiceTest, CreateWhileAServiceExistsStopsTheOldOneFirst) {
  SetUpEngine();
  Capture([] { EXPECT_TRUE(LibboxInterface::CreateService("first")); });
  Captured c = Capture([] { EXPECT_TRUE(LibboxInterface::CreateService("second")); });
  EXPECT_EQ(engine_->Journal(), "create_service(first);stop_service;create_service(second)");
  EXPECT_EQ(c.out, "Service stopped successfully\nService created successfully\n");
}

TEST_F(LibboxServiceTest, CreateGoesOnWhenStoppingTheOldServiceFails) {
  SetUpEngine();
  Capture([] { EXPECT_TRUE(LibboxInterface::CreateService("first")); });
  engine_->SetCodes(0, 0, 0, 4);
  Captured c = Capture([] { EXPECT_TRUE(LibboxInterface::CreateService("second")); });
  EXPECT_EQ(c.err, "Failed to stop service: 4\n");
  EXPECT_EQ(engine_->Journal(), "create_service(first);stop_service;create_service(second)");
}

TEST_F(LibboxServiceTest, StartWithoutAServiceNeverCallsTheEngine) {
  SetUpEngine();
  Captured c = Capture([] { EXPECT_FALSE(LibboxInterface::StartService()); });
  EXPECT_EQ(c.err, "service not created\n");
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(engine_->Journal(), "");
}

// Create and start failures take the engine's message, or "Unknown error" when it has none;
// the message is released and no korvane::kLibboxTag line is printed.
TEST_F(LibboxServiceTest, FailureMessageRule) {
  struct Case {
    const char* name;
    bool fail_start;  // false: create fails
    int code;
    const char* engine_message;
    const char* expected_err;
  };
  const Case cases[] = {
      {"create with message", false, 5, "decode config at line 3: bad",
       "Failed to create service (code 5): decode config at line 3: bad\n"},
      {"create without message", false, 5, nullptr,
       "Failed to create service (code 5): Unknown error\n"},
      {"create negative code", false, -2, nullptr,
       "Failed to create service (code -2): Unknown error\n"},
      {"start with message", true, 9, "listen tcp 127.0.0.1:7890: bind: address already in use",
       "Failed to start service (code 9): listen tcp 127.0.0.1:7890: bind: address already in "
       "use\n"},
      {"start without message", true, 9, nullptr,
       "Failed to start service (code 9): Unknown error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUpEngine();
    engine_->SetLastError(c.engine_message);
    Captured run;
    if (c.fail_start) {
      Capture([] { ASSERT_TRUE(LibboxInterface::CreateService("cfg")); });
      engine_->SetCodes(0, 0, c.code, 0);
      run = Capture([] { EXPECT_FALSE(LibboxInterface::StartService()); });
      EXPECT_NE(run.out.find("libbox start_service returned: " + std::to_string(c.code) + "\n"),
                std::string::npos);
    } else {
      engine_->SetCodes(0, c.code, 0, 0);
      run = Capture([] { EXPECT_FALSE(LibboxInterface::CreateService("cfg")); });
      EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(run.err, c.expected_err);
    EXPECT_EQ(engine_->LiveStrings(), 0) << "the engine's message was not handed back";

    // A failed start leaves the service created; a failed create leaves none.
    engine_->SetCodes(0, 0, 0, 0);
    Captured after = Capture([] { LibboxInterface::StartService(); });
    EXPECT_EQ(after.err, c.fail_start ? "" : "service not created\n");
    Capture([] { LibboxInterface::StopService(); });
  }
}

TEST_F(LibboxServiceTest, StopCallsTheEngineEvenWithoutAService) {
  Captured c = Capture([] { EXPECT_TRUE(LibboxInterface::StopService()); });
  EXPECT_EQ(engine_->Journal(), "stop_service");
  EXPECT_EQ(c.out, "Service stopped successfully\n");
}

TEST_F(LibboxServiceTest, FailedStopKeepsTheServiceCreated) {
  SetUpEngine();
  Capture([] { ASSERT_TRUE(LibboxInterface::CreateService("cfg")); });
  engine_->SetCodes(0, 0, 0, -1);
  Captured c = Capture([] { EXPECT_FALSE(LibboxInterface::StopService()); });
  EXPECT_EQ(c.err, "Failed to stop service: -1\n");
  engine_->SetCodes(0, 0, 0, 0);
  Captured start = Capture([] { EXPECT_TRUE(LibboxInterface::StartService()); });
  EXPECT_EQ(start.err, "");
}

TEST_F(LibboxServiceTest, StatusIsPassedThroughUnchanged) {
  for (int value : {0, 2, -7}) {
    engine_->SetStatus(value);
    EXPECT_EQ(LibboxInterface::GetStatus(), value);
  }
}

TEST_F(LibboxServiceTest, VersionIsCopiedAndHandedBack) {
  engine_->SetVersion("1.9.3-test");
  std::string version;
  Captured c = Capture([&] { version = LibboxInterface::GetVersion(); });
  EXPECT_EQ(version, "1.9.3-test");
  EXPECT_EQ(c.out + c.err, "");
  EXPECT_EQ(engine_->LiveStrings(), 0);
  EXPECT_EQ(engine_->Journal(), "get_version;free_string");

  engine_->SetVersion(nullptr);
  EXPECT_EQ(LibboxInterface::GetVersion(), "unknown");
}

TEST_F(LibboxServiceTest, LastErrorIsReportedEachTimeItIsAsked) {
  engine_->SetLastError("unknown outbound type: foo");
  for (int i = 0; i < 2; ++i) {
    std::string error;
    Captured c = Capture([&] { error = LibboxInterface::GetLastError(); });
    EXPECT_EQ(error, "unknown outbound type: foo");
    EXPECT_EQ(c.err, std::string(korvane::kLibboxTag) +
                         " Last error from libbox: unknown outbound type: foo\n");
  }
  EXPECT_EQ(engine_->LiveStrings(), 0);

  engine_->SetLastError(nullptr);
  std::string none;
  Captured c = Capture([&] { none = LibboxInterface::GetLastError(); });
  EXPECT_EQ(none, "No error message available");
  EXPECT_EQ(c.out + c.err, "");
}

TEST_F(LibboxServiceTest, CleanupStopsTheServiceAndUnbindsEverything) {
  SetUpEngine();
  Capture([] { ASSERT_TRUE(LibboxInterface::CreateService("cfg")); });
  const std::string journal_before = engine_->Journal();
  EXPECT_EQ(journal_before, "create_service(cfg)");
  engine_.reset();  // drop the test's own reference on the library

  Captured c = Capture([] { LibboxInterface::Cleanup(); });

  EXPECT_EQ(c.out, "Service stopped successfully\n");
  EXPECT_FALSE(LibboxInterface::IsLoaded());
  EXPECT_FALSE(TestEngineControl("./lib/libbox.so").loaded()) << "the library stayed open";
  Captured status = Capture([] { EXPECT_EQ(LibboxInterface::GetStatus(), -1); });
  EXPECT_EQ(status.err, "libbox not initialized\n");

  // Loaded again, the flags start over: no set-up, no service.
  Capture([] { ASSERT_TRUE(LibboxInterface::Initialize()); });
  Captured create = Capture([] { EXPECT_FALSE(LibboxInterface::CreateService("cfg")); });
  EXPECT_EQ(create.err, "libbox not setup\n");
  Captured start = Capture([] { EXPECT_FALSE(LibboxInterface::StartService()); });
  EXPECT_EQ(start.err, "service not created\n");
}

TEST_F(LibboxServiceTest, CleanupWithoutAServiceDoesNotStopOne) {
  SetUpEngine();
  engine_.reset();
  Captured c = Capture([] { LibboxInterface::Cleanup(); });
  EXPECT_EQ(c.out + c.err, "");
  EXPECT_FALSE(LibboxInterface::IsLoaded());
}

}  // namespace
}  // namespace korvane_test
