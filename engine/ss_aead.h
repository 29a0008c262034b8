// Shadowsocks AEAD: the methods aes-128-gcm, aes-256-gcm and chacha20-ietf-poly1305, their key
// derivation (EVP_BytesToKey with MD5 for the master key, HKDF-SHA1 "ss-subkey" per salt) and
// the framing of a TCP stream and of UDP packets. Every primitive is OpenSSL's EVP. A stream
// object belongs to one thread; the shared key may be used from any.
#ifndef ENGINE_SS_AEAD_H_
#define ENGINE_SS_AEAD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace box {
namespace ss {

constexpr size_t kTagSize = 16;
constexpr size_t kNonceSize = 12;
// Largest payload of one TCP chunk (the two top bits of the length stay zero).
constexpr size_t kMaxChunkPayload = 0x3FFF;
// What a chunk adds to its payload: the sealed length and two tags.
constexpr size_t kChunkOverhead = 2 + 2 * kTagSize;

// A method's fixed sizes and the master key derived from a password. Immutable once made.
class Key {
 public:
  // Nullptr for a method this engine does not implement (*error says so).
  static std::shared_ptr<const Key> Create(const std::string& method,
                                           const std::string& password,
                                           std::string* error);
  // Whether `method` is implemented.
  static bool Supports(const std::string& method);
  ~Key();

  const std::string& method() const { return method_; }
  size_t key_size() const { return key_size_; }
  size_t salt_size() const { return key_size_; }  // the salt is key-sized for every method here
  const uint8_t* master() const { return master_; }
  const EVP_CIPHER* cipher() const { return cipher_; }

  // HKDF-SHA1(master, salt, "ss-subkey"), key_size() bytes into out. False on a library error.
  bool Subkey(const uint8_t* salt, uint8_t* out) const;

 private:
  Key() = default;
  std::string method_;
  size_t key_size_ = 0;
  uint8_t master_[32] = {};
  EVP_CIPHER* cipher_ = nullptr;  // fetched once, freed with the key
};

// The master key of a password, as EVP_BytesToKey(MD5, no salt, one round) defines it.
bool DeriveMasterKey(const std::string& password, size_t size, uint8_t* out);

// One direction of a TCP stream: a subkey and a little-endian nonce counter. Either seals or
// opens, as made.
class Aead {
 public:
  Aead(std::shared_ptr<const Key> key, bool seal);
  ~Aead();
  Aead(const Aead&) = delete;
  Aead& operator=(const Aead&) = delete;

  // Sets the subkey from `salt` (key-sized) and resets the nonce. False on a library error.
  bool Start(const uint8_t* salt);
  bool started() const { return started_; }

  // Sealing: out = ciphertext || tag of the `size` bytes at in (in and out may be the same).
  // Opening: `size` bytes of ciphertext at in, its tag right after them; out = the plaintext.
  // False on a library error or, opening, a tag that does not match. Advances the nonce.
  bool Process(const uint8_t* in, size_t size, uint8_t* out);

 private:
  std::shared_ptr<const Key> key_;
  const bool seal_;
  EVP_CIPHER_CTX* ctx_ = nullptr;
  uint8_t nonce_[kNonceSize] = {};
  bool started_ = false;
};

// The sending side of a TCP stream: the salt first, then chunks.
class StreamSealer {
 public:
  explicit StreamSealer(std::shared_ptr<const Key> key) : key_(key), aead_(std::move(key), true) {}

  // Upper bound of the bytes Seal writes for `size` plaintext bytes.
  size_t MaxOutput(size_t size) const;
  // Seals `size` bytes (any amount, split into chunks) into out; returns the bytes written, 0
  // on a library error. The first call writes a fresh random salt first.
  size_t Seal(const uint8_t* in, size_t size, uint8_t* out);

 private:
  std::shared_ptr<const Key> key_;
  Aead aead_;
};

// The receiving side: consumes the salt, then complete chunks, and yields their payloads.
class StreamOpener {
 public:
  enum class Status { kOk, kNeedMore, kFailed };

  explicit StreamOpener(std::shared_ptr<const Key> key) : key_(key), aead_(std::move(key), false) {}

  // Opens what it can of `in` into out (room: at least `in_size` bytes). *consumed and
  // *produced tell how far it got. kNeedMore when nothing whole was left to open, kFailed on a
  // tag mismatch or a malformed length (*error says which).
  Status Open(const uint8_t* in,
              size_t in_size,
              size_t* consumed,
              uint8_t* out,
              size_t* produced,
              std::string* error);

 private:
  std::shared_ptr<const Key> key_;
  Aead aead_;
  size_t pending_payload_ = 0;  // length of the chunk whose length was opened already
};

// One UDP packet: [salt][sealed plaintext][tag] with an all-zero nonce.
std::string SealPacket(const Key& key, std::string_view plaintext);
// False when it is too short or its tag does not match.
bool OpenPacket(const Key& key, std::string_view packet, std::string* plaintext);

// The address header: 0x01 IPv4 / 0x03 name / 0x04 IPv6, then the big-endian port. The SOCKS5
// address form, which Shadowsocks uses too. Empty when the name is longer than 255 bytes.
std::string EncodeAddress(const std::string& host, uint16_t port);
// Parses an address header at the start of data; returns its length, 0 when malformed or short.
size_t DecodeAddress(std::string_view data, std::string* host, uint16_t* port);

}  // namespace ss
}  // namespace box

#endif  // ENGINE_SS_AEAD_H_
