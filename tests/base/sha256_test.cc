// The host's SHA-256: FIPS 180-4 vectors, incremental feeding, and files against sha256sum, for
// both the portable code and the CPU's SHA extensions; what FileHex agrees to open.
#include "base/sha256.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <vector>

#include "tests/core/test_engines/test_engine_control.h"
#include "tests/support/child_run.h"
#include "tests/support/test_files.h"

namespace {

// The digest state keeps the documented field order.
static_assert(offsetof(Sha256Ctx, pending) == 0, "pending block first");
static_assert(offsetof(Sha256Ctx, pending_count) == 64, "then the pending count");
static_assert(offsetof(Sha256Ctx, bits_compressed) < offsetof(Sha256Ctx, state),
              "bit count before the hash state");
static_assert(sizeof(Sha256Ctx::state) == 32, "eight 32-bit words");

std::string Digest(const std::string& data) {
  return Sha256::HexOf(data);
}

// Runs each test once with the portable code (false) and once with the SHA extensions (true).
class Sha256Test : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !Sha256::CpuHasShaExtensions()) {
      GTEST_SKIP() << "this CPU has no SHA extensions";
    }
    Sha256::UseShaExtensionsForTesting(GetParam());
    ASSERT_EQ(Sha256::UsesShaExtensions(), GetParam());
  }
  void TearDown() override { Sha256::ResetForTesting(); }
};

TEST_P(Sha256Test, FipsVectors) {
  struct Vector {
    std::string input;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(Digest(v.input), v.digest) << "input of " << v.input.size() << " bytes";
  }
}

TEST_P(Sha256Test, FeedingInPiecesMatchesOneUpdate) {
  std::mt19937 random(42);
  std::string data(5000, '\0');
  for (char& c : data) {
    c = static_cast<char>(random());
  }
  const std::string whole = Digest(data);
  // Piece sizes around the block size, plus one byte at a time.
  for (size_t piece : {size_t{1}, size_t{3}, size_t{55}, size_t{63}, size_t{64}, size_t{65},
                       size_t{127}, size_t{1000}}) {
    Sha256Ctx ctx;
    Sha256::Init(&ctx);
    for (size_t at = 0; at < data.size(); at += piece) {
      Sha256::Update(&ctx, data.data() + at, std::min(piece, data.size() - at));
    }
    uint8_t digest[kSha256DigestSize];
    Sha256::Final(&ctx, digest);
    EXPECT_EQ(Sha256::Hex(digest), whole) << "pieces of " << piece;
  }
}

TEST_P(Sha256Test, UnalignedInputGivesTheSameDigest) {
  std::string buffer(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : buffer) {
    c = static_cast<char>(random());
  }
  const std::string body = buffer.substr(3, buffer.size() - 16);
  const std::string aligned_copy(body);
  Sha256Ctx ctx;
  Sha256::Init(&ctx);
  Sha256::Update(&ctx, buffer.data() + 3, body.size());
  uint8_t digest[kSha256DigestSize];
  Sha256::Final(&ctx, digest);
  EXPECT_EQ(Sha256::Hex(digest), Digest(aligned_copy));
}

TEST_P(Sha256Test, FilesAroundBlockAndReadBoundariesMatchSha256sum) {
  char pattern[] = "/tmp/korvane-sha256-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  std::mt19937 random(1);
  const size_t sizes[] = {
      0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 65535, 65536, 65537, 65600, 65599, 70000,
      131071, 2 * 65536 + 1, 3 * 65536 - 1,
      // From 1 MiB on, a second thread reads while the first hashes: sizes that end inside a
      // read, on a read, and after the ring of reads has wrapped many times.
      (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 24 * 65536, 5 * (1 << 20) + 12345};
  for (size_t size : sizes) {
    const std::filesystem::path file = dir / ("f" + std::to_string(size));
    {
      std::string data(size, '\0');
      for (char& c : data) {
        c = static_cast<char>(random());
      }
      std::ofstream(file, std::ios::binary) << data;
    }
    EXPECT_EQ(Sha256::FileHex(file.string()), korvane_test::SystemSha256(file.string()))
        << size << " bytes";
  }
  std::filesystem::remove_all(dir);
}

TEST_P(Sha256Test, UnreadableFileGivesAnEmptyDigest) {
  char pattern[] = "/tmp/korvane-sha256-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  EXPECT_EQ(Sha256::FileHex(std::string(pattern) + "/absent"), "");
  EXPECT_EQ(Sha256::FileHex(pattern), "") << "a directory cannot be read";
  std::filesystem::remove_all(pattern);
}

INSTANTIATE_TEST_SUITE_P(Paths,
                         Sha256Test,
                         testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ShaExtensions" : "Portable";
                         });

// Only a regular file is hashed, whatever stands at the path when it is opened, and the open never
// waits: an ordinary open of a FIFO that no one writes to never returns. Each case runs in a child
// so that a hang fails the test instead of stopping it; no writer ever opens the FIFO.
TEST(Sha256FileTest, OnlyRegularFilesAreHashedAndOpeningNeverWaits) {
  korvane_test::TempDir dir("korvane-sha256-test");
  korvane_test::WriteFile(dir.File("file"), "abc");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("file", dir.File("link-to-file").c_str()), 0);
  ASSERT_EQ(symlink("fifo", dir.File("link-to-fifo").c_str()), 0);
  const std::string abc = Digest("abc");
  struct Case {
    const char* name;
    std::string path;
    Sha256Links links;
    std::string expected;  // digest and errno (0 on success)
  };
  const Case cases[] = {
      // A regular file, also through a link unless links are refused.
      {"file", dir.File("file"), Sha256Links::kFollow, abc + " 0"},
      {"file, links refused", dir.File("file"), Sha256Links::kRefuse, abc + " 0"},
      {"link", dir.File("link-to-file"), Sha256Links::kFollow, abc + " 0"},
      {"link refused", dir.File("link-to-file"), Sha256Links::kRefuse, " " + std::to_string(ELOOP)},
      // Anything else is refused at once, also behind a link.
      {"fifo", dir.File("fifo"), Sha256Links::kFollow, " " + std::to_string(EINVAL)},
      {"link to fifo", dir.File("link-to-fifo"), Sha256Links::kFollow,
       " " + std::to_string(EINVAL)},
      {"directory", dir.path(), Sha256Links::kFollow, " " + std::to_string(EINVAL)},
      {"device", "/dev/null", Sha256Links::kFollow, " " + std::to_string(EINVAL)},
  };
  for (const Case& c : cases) {
    korvane_test::ChildRun run = korvane_test::RunInChild([&c] {
      const std::string digest = Sha256::FileHex(c.path, c.links);
      const int error = errno;
      std::cout << digest << " " << (digest.empty() ? error : 0);
      return 0;
    });
    EXPECT_TRUE(run.finished) << c.name << ": still waiting to open the file";
    EXPECT_EQ(run.out, c.expected) << c.name;
  }
}

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kAuditArch = 0;
#endif

// Makes every read(2) and pread64(2) of descriptor `fd` fail with EIO in this thread and the
// threads it starts afterwards.
bool FailReadsOn(int fd) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_read, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pread64, 0, 3),
      // The descriptor's low word, which holds all of it.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A read that fails is a failed digest on either path, never an early end of file: every read
// of the file's descriptor fails with EIO, also on the reader thread of large files.
TEST(Sha256FileTest, AReadErrorGivesAnEmptyDigestOnBothPaths) {
  if (kAuditArch == 0) {
    GTEST_SKIP() << "no read filter for this architecture";
  }
  korvane_test::TempDir dir("korvane-sha256-test");
  // In line below 1 MiB; on the reader thread from 1 MiB on.
  for (size_t size : {size_t{65536}, size_t{1} << 20, (size_t{5} << 20) + 12345}) {
    const std::string path = dir.File("f" + std::to_string(size));
    korvane_test::WriteFile(path, std::string(size, 'x'));
    korvane_test::ChildRun run = korvane_test::RunInChild([&path] {
      // FileHex's descriptor is the lowest free one.
      const int next = open("/dev/null", O_RDONLY | O_CLOEXEC);
      close(next);
      if (!FailReadsOn(next)) {
        std::cout << "no filter: " << strerror(errno);
        return 1;
      }
      std::cout << "digest \"" << Sha256::FileHex(path) << "\"";
      return 0;
    });
    EXPECT_TRUE(run.finished) << size << " bytes";
    EXPECT_EQ(run.out, "digest \"\"") << size << " bytes";
  }
}

TEST(Sha256TransformTest, OnePaddedBlockFromTheInitialState) {
  // "abc" padded to one block: 0x80 after the message, the bit length 24 at the end.
  uint8_t block[kSha256BlockSize] = {'a', 'b', 'c', 0x80};
  block[63] = 24;
  Sha256Ctx ctx;
  Sha256::Init(&ctx);
  Sha256Transform(&ctx, block);
  const uint32_t expected[8] = {0xba7816bf, 0x8f01cfea, 0x414140de, 0x5dae2223,
                                0xb00361a3, 0x96177a9c, 0xb410ff61, 0xf20015ad};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(ctx.state[i], expected[i]) << "word " << i;
  }
  EXPECT_EQ(kSha256K[0], 0x428a2f98u);
  EXPECT_EQ(kSha256K[63], 0xc67178f2u);
}

TEST(Sha256TransformTest, CountsFollowTheInput) {
  Sha256Ctx ctx;
  Sha256::Init(&ctx);
  const std::string data(150, 'x');
  Sha256::Update(&ctx, data.data(), data.size());
  EXPECT_EQ(ctx.bits_compressed, 128u * 8);
  EXPECT_EQ(ctx.pending_count, 22u);
}

}  // namespace
