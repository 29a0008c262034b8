// Finding, auditing, loading and binding the engine library, with real files in private trees.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "base/logger.h"
#include "core/libbox_interface.h"
#include "tests/core/test_engines/test_engine_control.h"
#include "tests/support/child_run.h"

namespace korvane_test {
namespace {

const std::vector<std::string> kFullList = {
    "/opt/k/lib/libbox.so.x86_64",
    "/opt/k/bundle/lib/libbox.so.x86_64",
    "/opt/k/../lib/libbox.so.x86_64",
    "/opt/k/lib/libbox.so",
    "/opt/k/bundle/lib/libbox.so",
    "/opt/k/../lib/libbox.so",
    "./lib/libbox.so.x86_64",
    "../lib/libbox.so.x86_64",
    "/usr/local/lib/libbox.so.x86_64",
    "/usr/lib/libbox.so.x86_64",
    "./lib/libbox.so",
    "../lib/libbox.so",
    "/usr/local/lib/libbox.so",
    "/usr/lib/libbox.so",
    "libbox.so",
};

// The full list without the entries whose 1-based positions are given.
std::vector<std::string> FullListWithout(const std::vector<int>& dropped) {
  std::vector<std::string> list;
  for (size_t i = 0; i < kFullList.size(); ++i) {
    if (std::find(dropped.begin(), dropped.end(), static_cast<int>(i + 1)) == dropped.end()) {
      list.push_back(kFullList[i]);
    }
  }
  return list;
}

struct CandidateCase {
  const char* name;
  std::optional<std::string> exe_dir;
  std::string suffix;
  std::vector<std::string> expected;
};

TEST(LibboxCandidatePathsTest, OrderAndDroppedEntries) {
  const CandidateCase cases[] = {
      // All fifteen, executable-relative first, suffixed before plain, bare name last.
      {"full", std::string("/opt/k"), ".x86_64", kFullList},
      // No suffix: the suffixed entries 1-3 and 7-10 are left out.
      {"no suffix", std::string("/opt/k"), "", FullListWithout({1, 2, 3, 7, 8, 9, 10})},
      // Executable path unreadable: entries 1-6 are left out, the rest stays.
      {"no exe", std::nullopt, ".x86_64", FullListWithout({1, 2, 3, 4, 5, 6})},
      {"neither", std::nullopt, "", FullListWithout({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
  };
  for (const CandidateCase& c : cases) {
    EXPECT_EQ(LibboxInterface::CandidatePaths(c.exe_dir, c.suffix), c.expected) << c.name;
  }
}

TEST(LibboxCandidatePathsTest, ProcessListStartsBesideTheExecutable) {
  char* exe = realpath(program_invocation_name, nullptr);
  ASSERT_NE(exe, nullptr);
  const std::string exe_dir = std::filesystem::path(exe).parent_path().string();
  free(exe);
  const std::vector<std::string> list = LibboxInterface::CandidatePaths();
  ASSERT_EQ(list.size(), 15u);
  EXPECT_EQ(list.front(), exe_dir + "/lib/libbox.so.x86_64");
  EXPECT_EQ(list, LibboxInterface::CandidatePaths(exe_dir, ".x86_64"));
}

std::string TriedPathsLine() {
  std::string line = "Tried paths:";
  for (const std::string& path : LibboxInterface::CandidatePaths()) {
    line += " " + path;
  }
  return line + "\n";
}

std::string MismatchLine(const std::string& path,
                         const std::string& expected,
                         const std::string& actual) {
  return std::string(korvane::kSecurityAuditTag) + " libbox integrity MISMATCH for " + path +
         " (expected " + expected + ", got " + actual + "); loading anyway (enforcement off).\n";
}

std::string ToUpper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

// 200 bytes that are not an ELF file.
const std::string kNotElf = std::string(200, '#') + "\n";

class LibboxLoaderTest : public EngineTreeTest {
 protected:
  // The expected digest is the engine's own unless a test says otherwise.
  void SetUp() override {
    EngineTreeTest::SetUp();
    engine_sha256_ = SystemSha256(KORVANE_TEST_ENGINE);
    ASSERT_EQ(engine_sha256_.size(), 64u);
    LibboxInterface::SetExpectedSha256ForTesting(engine_sha256_);
  }

  std::string engine_sha256_;
};

TEST_F(LibboxLoaderTest, RefusedCandidatesArePassedOverForALaterOne) {
  PlaceDirectory("lib/libbox.so.x86_64");          // entry 7: a directory
  PlaceText("../lib/libbox.so.x86_64", kNotElf);   // entry 8: not ELF
  Place(KORVANE_TEST_ENGINE, "../lib/libbox.so");  // entry 12

  bool loaded = false;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_TRUE(loaded);
  EXPECT_TRUE(LibboxInterface::IsLoaded());
  EXPECT_EQ(LibboxInterface::GetLoadError(), "");
  EXPECT_EQ(c.out,
            "Loaded verified libbox from: ../lib/libbox.so\n"
            "All libbox functions loaded successfully\n");
  // The directory cannot be read, the text file differs, the engine matches (no line).
  EXPECT_EQ(c.err, std::string(korvane::kSecurityAuditTag) +
                       " Unable to hash libbox for verification (loading anyway, "
                       "enforcement off): ./lib/libbox.so.x86_64\n" +
                       MismatchLine("../lib/libbox.so.x86_64", engine_sha256_,
                                    SystemSha256((root_ / "lib/libbox.so.x86_64").string())));
  TestEngineControl engine("../lib/libbox.so");
  EXPECT_TRUE(engine.loaded());
}

TEST_F(LibboxLoaderTest, MismatchIsReportedAndLoadedAnyway) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
  const std::string expected(64, '0');
  LibboxInterface::SetExpectedSha256ForTesting(expected);

  bool loaded = false;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_TRUE(loaded);
  EXPECT_EQ(c.err, MismatchLine("./lib/libbox.so", expected, engine_sha256_));
  EXPECT_EQ(c.out,
            "Loaded verified libbox from: ./lib/libbox.so\n"
            "All libbox functions loaded successfully\n");
}

TEST_F(LibboxLoaderTest, ExpectedDigestIsComparedCaseInsensitively) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
  LibboxInterface::SetExpectedSha256ForTesting(ToUpper(engine_sha256_));

  bool loaded = false;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_TRUE(loaded);
  EXPECT_EQ(c.err, "");
  // An upper-case expected digest that differs still reports it lowered.
  std::string other = ToUpper(std::string(63, 'a') + "b");
  LibboxInterface::SetExpectedSha256ForTesting(other);
  c = Capture([&] { EXPECT_TRUE(LibboxInterface::VerifyLibraryHash("./lib/libbox.so")); });
  EXPECT_EQ(c.err, MismatchLine("./lib/libbox.so", std::string(63, 'a') + "b", engine_sha256_));
}

TEST_F(LibboxLoaderTest, DigestOfWrongLengthSwitchesTheAuditOff) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
  const std::string expected_values[] = {"", engine_sha256_.substr(1), engine_sha256_ + "0"};
  for (const std::string& expected : expected_values) {
    LibboxInterface::SetExpectedSha256ForTesting(expected);
    bool verified = false;
    Captured c = Capture([&] { verified = LibboxInterface::VerifyLibraryHash("./lib/libbox.so"); });
    EXPECT_TRUE(verified);
    EXPECT_EQ(c.err, std::string(korvane::kSecurityWarnTag) +
                         " libbox integrity hash not configured (kLibboxExpectedSha256 "
                         "empty); skipping verification for: ./lib/libbox.so\n")
        << "expected digest of length " << expected.size();
  }
}

TEST_F(LibboxLoaderTest, UnreadableFileIsReportedAndVerificationStillPasses) {
  bool verified = false;
  Captured c = Capture([&] { verified = LibboxInterface::VerifyLibraryHash("./absent.so"); });
  EXPECT_TRUE(verified);
  EXPECT_EQ(c.err, std::string(korvane::kSecurityAuditTag) +
                       " Unable to hash libbox for verification (loading anyway, "
                       "enforcement off): ./absent.so\n");
}

// A FIFO where the library should be, which no one ever opens for writing: neither the audit nor
// the loader waits on it, and the next candidate loads. Run in a child, so a hang fails the test.
TEST_F(LibboxLoaderTest, FifoInPlaceOfTheLibraryIsPassedOverWithoutWaiting) {
  PlaceDirectory("lib");
  ASSERT_EQ(mkfifo((work_ / "lib/libbox.so.x86_64").c_str(), 0600), 0);  // entry 7
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");                           // entry 11

  ChildRun run = RunInChild([] { return LibboxInterface::Initialize() ? 0 : 1; });

  ASSERT_TRUE(run.finished) << "Initialize still waiting on the FIFO; " << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Loaded verified libbox from: ./lib/libbox.so\n"
            "All libbox functions loaded successfully\n");
  EXPECT_EQ(run.err, std::string(korvane::kSecurityAuditTag) +
                         " Unable to hash libbox for verification (loading anyway, "
                         "enforcement off): ./lib/libbox.so.x86_64\n");
}

// The loader follows a link to the library, so the audit hashes what the link leads to.
TEST_F(LibboxLoaderTest, LinkedLibraryIsAuditedThroughTheLink) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so.1");
  std::filesystem::create_symlink("libbox.so.1", work_ / "lib/libbox.so");
  Captured c = Capture([] { EXPECT_TRUE(LibboxInterface::VerifyLibraryHash("./lib/libbox.so")); });
  EXPECT_EQ(c.err, "") << "the engine's own digest matches";
}

TEST_F(LibboxLoaderTest, MissingEntryPointClosesTheLibraryAgain) {
  Place(KORVANE_TEST_ENGINE_WITHOUT_START, "lib/libbox.so");
  LibboxInterface::SetExpectedSha256ForTesting(SystemSha256(KORVANE_TEST_ENGINE_WITHOUT_START));

  bool loaded = true;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_FALSE(loaded);
  EXPECT_FALSE(LibboxInterface::IsLoaded());
  EXPECT_EQ(c.out, "Loaded verified libbox from: ./lib/libbox.so\n");
  const std::string prefix = "Failed to load start_service: ";
  EXPECT_EQ(c.err.rfind(prefix, 0), 0u) << c.err;
  EXPECT_NE(c.err.find("start_service", prefix.size()), std::string::npos) << c.err;
  EXPECT_EQ(std::count(c.err.begin(), c.err.end(), '\n'), 1) << c.err;
  EXPECT_EQ(LibboxInterface::GetLoadError() + "\n", c.err);
  // get_version was bound before start_service failed; it must be gone with the rest.
  EXPECT_EQ(LibboxInterface::GetVersion(), "unknown");
  Captured status = Capture([] { EXPECT_EQ(LibboxInterface::GetStatus(), -1); });
  EXPECT_EQ(status.err, "libbox not initialized\n");
  TestEngineControl engine("./lib/libbox.so");
  EXPECT_FALSE(engine.loaded()) << "the library stayed open";
}

TEST_F(LibboxLoaderTest, NothingToLoadListsEveryCandidate) {
  bool loaded = true;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_FALSE(loaded);
  EXPECT_EQ(c.out, "");
  // No candidate exists, so the loader has no error text to add.
  EXPECT_EQ(c.err, "Failed to load libbox.so: \n" + TriedPathsLine());
  EXPECT_EQ(LibboxInterface::GetLoadError(), "Failed to load libbox.so: ");
}

TEST_F(LibboxLoaderTest, LoaderErrorOfTheLastRefusalIsReported) {
  PlaceText("lib/libbox.so", kNotElf);
  LibboxInterface::SetExpectedSha256ForTesting(SystemSha256((work_ / "lib/libbox.so").string()));

  bool loaded = true;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_FALSE(loaded);
  const std::string first_line = c.err.substr(0, c.err.find('\n'));
  EXPECT_EQ(first_line.rfind("Failed to load libbox.so: ./lib/libbox.so: ", 0), 0u) << c.err;
  EXPECT_NE(first_line.find("invalid ELF header"), std::string::npos) << c.err;
  EXPECT_EQ(c.err, first_line + "\n" + TriedPathsLine());
}

TEST_F(LibboxLoaderTest, BareNameIsHandedToTheLoadersOwnSearch) {
  // The file in the current directory makes the bare candidate count, but the loader looks
  // for a bare name in its own library path, not here.
  Place(KORVANE_TEST_ENGINE, "libbox.so");

  bool loaded = true;
  Captured c = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_FALSE(loaded);
  EXPECT_EQ(c.err.rfind("Failed to load libbox.so: libbox.so: cannot open shared object file", 0),
            0u)
      << c.err;
}

TEST_F(LibboxLoaderTest, SecondInitializeDoesNotSearchAgain) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
  Captured first = Capture([] { EXPECT_TRUE(LibboxInterface::Initialize()); });
  ASSERT_NE(first.out, "");
  std::filesystem::remove_all(work_ / "lib");

  bool loaded = false;
  Captured second = Capture([&] { loaded = LibboxInterface::Initialize(); });

  EXPECT_TRUE(loaded);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_TRUE(LibboxInterface::IsLoaded());
}

TEST_F(LibboxLoaderTest, FailedInitializeMayBeRepeated) {
  Captured first = Capture([] { EXPECT_FALSE(LibboxInterface::Initialize()); });
  EXPECT_NE(LibboxInterface::GetLoadError(), "");
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");

  Captured second = Capture([] { EXPECT_TRUE(LibboxInterface::Initialize()); });

  EXPECT_EQ(LibboxInterface::GetLoadError(), "") << "cleared at the start of the attempt";
  EXPECT_EQ(second.out.rfind("Loaded verified libbox from: ./lib/libbox.so\n", 0), 0u);
}

TEST_F(LibboxLoaderTest, CleanupUnloadsAndAllowsAFreshLoad) {
  Place(KORVANE_TEST_ENGINE, "lib/libbox.so");
  Capture([] { EXPECT_TRUE(LibboxInterface::Initialize()); });

  LibboxInterface::Cleanup();

  EXPECT_FALSE(LibboxInterface::IsLoaded());
  EXPECT_FALSE(TestEngineControl("./lib/libbox.so").loaded()) << "the library stayed open";
  EXPECT_EQ(LibboxInterface::GetVersion(), "unknown");
  Captured again = Capture([] { EXPECT_TRUE(LibboxInterface::Initialize()); });
  EXPECT_EQ(again.out.rfind("Loaded verified libbox from: ./lib/libbox.so\n", 0), 0u);
}

// Runs Initialize in a child that sees a private /usr/lib holding the engine: every candidate
// before "/usr/lib/libbox.so" (beside the executable, suffixed, ./lib, ../lib, /usr/local/lib)
// is absent and skipped. Needs root for the private mount namespace.
TEST_F(LibboxLoaderTest, LibraryOnlyInUsrLibIsFoundLast) {
  const std::filesystem::path layer = root_ / "layer";
  const std::filesystem::path log = root_ / "child.log";
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    std::filesystem::create_directories(layer);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", layer.c_str(), "tmpfs", 0, nullptr) != 0) {
      _exit(77);
    }
    std::filesystem::create_directories(layer / "upper");
    std::filesystem::create_directories(layer / "work");
    const std::string options = "lowerdir=/usr/lib,upperdir=" + (layer / "upper").string() +
                                ",workdir=" + (layer / "work").string();
    if (mount("overlay", "/usr/lib", "overlay", 0, options.c_str()) != 0) {
      _exit(77);
    }
    std::filesystem::copy_file(KORVANE_TEST_ENGINE, "/usr/lib/libbox.so");
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) {
      _exit(78);
    }
    bool loaded = LibboxInterface::Initialize();
    fflush(nullptr);
    _exit(loaded ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) {
    ASSERT_NE(geteuid(), 0u)
        << "no private mount namespace with an overlay although running as root";
    GTEST_SKIP() << "no private mount namespace with an overlay here (needs root)";
  }
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(WEXITSTATUS(status), 0) << text.str();
  EXPECT_EQ(text.str(),
            "Loaded verified libbox from: /usr/lib/libbox.so\n"
            "All libbox functions loaded successfully\n");
  EXPECT_FALSE(std::filesystem::exists("/usr/lib/libbox.so")) << "the overlay leaked out";
}

}  // namespace
}  // namespace korvane_test
