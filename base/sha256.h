// SHA-256 (FIPS 180-4) of the host's own, used to audit the engine library before loading it.
// Uses the CPU's SHA extensions when it has them and a portable loop otherwise.
#ifndef BASE_SHA256_H_
#define BASE_SHA256_H_

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t kSha256BlockSize = 64;
inline constexpr size_t kSha256DigestSize = 32;
// Files are hashed in reads of this size into one buffer, so any size takes constant memory.
inline constexpr size_t kSha256FileReadSize = 65536;

// Whether Sha256::FileHex follows a symbolic link that is the path's last component.
enum class Sha256Links { kFollow, kRefuse };

// Round constants of the compression function.
extern const uint32_t kSha256K[64];

// Running digest state. Initialise with Sha256::Init before use.
struct Sha256Ctx {
  uint8_t pending[kSha256BlockSize];  // input not yet compressed (less than one block)
  uint32_t pending_count;             // bytes used in `pending`
  uint64_t bits_compressed;           // message bits already folded into `state`
  uint32_t state[8];                  // hash state H0..H7
};

// Compresses one 64-byte block into ctx->state (does not touch the counts). Any thread.
void Sha256Transform(Sha256Ctx* ctx, const uint8_t* block);

// Stateless apart from the choice of compression code, fixed at start-up. All functions are
// safe on any thread.
class Sha256 {
 public:
  static void Init(Sha256Ctx* ctx);
  static void Update(Sha256Ctx* ctx, const void* data, size_t size);
  // Pads, writes the 32-byte digest and leaves ctx spent (Init again to reuse it).
  static void Final(Sha256Ctx* ctx, uint8_t digest[kSha256DigestSize]);

  // Lowercase hexadecimal of a digest (64 characters).
  static std::string Hex(const uint8_t digest[kSha256DigestSize]);
  // Digest of a byte string as lowercase hexadecimal.
  static std::string HexOf(const std::string& data);
  // Digest of a regular file's contents as lowercase hexadecimal; empty, with errno saying why,
  // when it cannot be opened, is no regular file (EINVAL) or a read fails. Never waits to open:
  // a FIFO or device found at `path` is refused, however it got there.
  static std::string FileHex(const std::string& path, Sha256Links links = Sha256Links::kFollow);

  // True when blocks are compressed with the CPU's SHA extensions.
  static bool UsesShaExtensions();
  // True when the CPU offers the SHA extensions (and the SSE levels they need).
  static bool CpuHasShaExtensions();

#ifdef KORVANE_TESTING
  // Forces the portable code (false) or the CPU extensions (true, only when CpuHasShaExtensions).
  static void UseShaExtensionsForTesting(bool use);
  static void ResetForTesting();
#endif

 private:
  // Compresses `count` consecutive 64-byte blocks into state.
  static void Compress(uint32_t state[8], const uint8_t* blocks, size_t count);

  static bool use_sha_extensions_;
};

#endif  // BASE_SHA256_H_
