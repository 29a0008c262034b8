#include "base/sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define KORVANE_SHA256_X86 1
#endif

const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

constexpr uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void CompressPortable(uint32_t state[8], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += kSha256BlockSize) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
      w[t] = LoadBigEndian32(blocks + 4 * t);
    }
    for (int t = 16; t < 64; ++t) {
      uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      uint32_t ch = (e & f) ^ (~e & g);
      uint32_t t1 = h + s1 + ch + kSha256K[t] + w[t];
      uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      uint32_t t2 = s0 + maj;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef KORVANE_SHA256_X86
// The SHA extensions keep the state as two vectors ABEF and CDGH and do two rounds per
// sha256rnds2; the message schedule runs four words ahead with sha256msg1/msg2.
__attribute__((target("sha,sse4.1"))) void CompressShaExtensions(uint32_t state[8],
                                                                 const uint8_t* blocks,
                                                                 size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH

  for (; count > 0; --count, blocks += kSha256BlockSize) {
    const __m128i abef_saved = state0;
    const __m128i cdgh_saved = state1;
    __m128i w[4];
#pragma GCC unroll 16
    for (int j = 0; j < 16; ++j) {
      // w[j % 4] holds message words 4j..4j+3 when group j's rounds begin.
      if (j < 4) {
        w[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)),
                                byte_swap);
      }
      __m128i msg = _mm_add_epi32(
          w[j % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kSha256K[4 * j])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      // Finish group j + 1 from groups j - 1 and j (its sha256msg1 part ran three groups ago).
      if (j >= 3 && j <= 14) {
        __m128i carry = _mm_alignr_epi8(w[j % 4], w[(j + 3) % 4], 4);
        w[(j + 1) % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(w[(j + 1) % 4], carry), w[j % 4]);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
      // Start group j + 3 from groups j - 1 and j.
      if (j >= 1 && j <= 12) {
        w[(j + 3) % 4] = _mm_sha256msg1_epu32(w[(j + 3) % 4], w[j % 4]);
      }
    }
    state0 = _mm_add_epi32(state0, abef_saved);
    state1 = _mm_add_epi32(state1, cdgh_saved);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}
#endif

}  // namespace

bool Sha256::use_sha_extensions_ = Sha256::CpuHasShaExtensions();

bool Sha256::CpuHasShaExtensions() {
#ifdef KORVANE_SHA256_X86
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  const bool sha = (ebx & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

bool Sha256::UsesShaExtensions() {
  return use_sha_extensions_;
}

void Sha256::Compress(uint32_t state[8], const uint8_t* blocks, size_t count) {
#ifdef KORVANE_SHA256_X86
  if (use_sha_extensions_) {
    CompressShaExtensions(state, blocks, count);
    return;
  }
#endif
  CompressPortable(state, blocks, count);
}

void Sha256Transform(Sha256Ctx* ctx, const uint8_t* block) {
  CompressPortable(ctx->state, block, 1);
}

void Sha256::Init(Sha256Ctx* ctx) {
  std::memset(ctx->pending, 0, sizeof(ctx->pending));
  ctx->pending_count = 0;
  ctx->bits_compressed = 0;
  std::memcpy(ctx->state, kSha256Initial, sizeof(ctx->state));
}

void Sha256::Update(Sha256Ctx* ctx, const void* data, size_t size) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (ctx->pending_count > 0) {
    size_t take = kSha256BlockSize - ctx->pending_count;
    if (take > size) {
      take = size;
    }
    std::memcpy(ctx->pending + ctx->pending_count, in, take);
    ctx->pending_count += static_cast<uint32_t>(take);
    in += take;
    size -= take;
    if (ctx->pending_count < kSha256BlockSize) {
      return;
    }
    Compress(ctx->state, ctx->pending, 1);
    ctx->bits_compressed += kSha256BlockSize * 8;
    ctx->pending_count = 0;
  }
  // Whole blocks straight from the caller's buffer: the bulk of a file goes through here.
  const size_t blocks = size / kSha256BlockSize;
  if (blocks > 0) {
    Compress(ctx->state, in, blocks);
    ctx->bits_compressed += uint64_t{blocks} * kSha256BlockSize * 8;
    in += blocks * kSha256BlockSize;
    size -= blocks * kSha256BlockSize;
  }
  if (size > 0) {
    std::memcpy(ctx->pending, in, size);
    ctx->pending_count = static_cast<uint32_t>(size);
  }
}

void Sha256::Final(Sha256Ctx* ctx, uint8_t digest[kSha256DigestSize]) {
  const uint64_t total_bits = ctx->bits_compressed + uint64_t{ctx->pending_count} * 8;
  uint8_t* p = ctx->pending;
  p[ctx->pending_count++] = 0x80;
  // The length takes the last 8 bytes of a block; start another block if it does not fit.
  if (ctx->pending_count > kSha256BlockSize - 8) {
    std::memset(p + ctx->pending_count, 0, kSha256BlockSize - ctx->pending_count);
    Compress(ctx->state, p, 1);
    ctx->pending_count = 0;
  }
  std::memset(p + ctx->pending_count, 0, kSha256BlockSize - 8 - ctx->pending_count);
  for (int i = 0; i < 8; ++i) {
    p[kSha256BlockSize - 1 - i] = static_cast<uint8_t>(total_bits >> (8 * i));
  }
  Compress(ctx->state, p, 1);
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(ctx->state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(ctx->state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(ctx->state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(ctx->state[i]);
  }
  ctx->bits_compressed = total_bits;
  ctx->pending_count = 0;
}

std::string Sha256::Hex(const uint8_t digest[kSha256DigestSize]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(2 * kSha256DigestSize, '0');
  for (size_t i = 0; i < kSha256DigestSize; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return hex;
}

std::string Sha256::HexOf(const std::string& data) {
  Sha256Ctx ctx;
  Init(&ctx);
  Update(&ctx, data.data(), data.size());
  uint8_t digest[kSha256DigestSize];
  Final(&ctx, digest);
  return Hex(digest);
}
