#ifndef TESTS_SUPPORT_LAB_PATTERN_H_
#define TESTS_SUPPORT_LAB_PATTERN_H_

// The bytes the lab's origin serves and the digest it answers uploads with, shared by the origin
// and the tests that check them. No period a relay bug could hide in: each 8-byte word is a
// mix of its own index.

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane_test {

inline uint64_t LabMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Bytes [offset, offset + size) of the pattern into out.
inline void LabPattern(uint64_t offset, char* out, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    uint64_t at = offset + i;
    out[i] = static_cast<char>(LabMix(at / 8) >> (8 * (at % 8)));
  }
}

inline std::string LabPattern(uint64_t offset, size_t size) {
  std::string bytes(size, '\0');
  LabPattern(offset, bytes.data(), size);
  return bytes;
}

// FNV-1a, 64 bits, continued from `state` (start with kLabDigestStart).
constexpr uint64_t kLabDigestStart = 0xcbf29ce484222325ULL;
inline uint64_t LabDigest(uint64_t state, const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    state = (state ^ static_cast<uint8_t>(data[i])) * 0x100000001b3ULL;
  }
  return state;
}

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_LAB_PATTERN_H_
