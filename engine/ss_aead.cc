#include "engine/ss_aead.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstring>

namespace box {
namespace ss {
namespace {

struct Method {
  const char* name;
  const char* cipher;  // OpenSSL's algorithm name
  size_t key_size;
};

constexpr Method kMethods[] = {
    {"aes-128-gcm", "AES-128-GCM", 16},
    {"aes-192-gcm", "AES-192-GCM", 24},
    {"aes-256-gcm", "AES-256-GCM", 32},
    {"chacha20-ietf-poly1305", "ChaCha20-Poly1305", 32},
};

const Method* FindMethod(const std::string& name) {
  for (const Method& method : kMethods) {
    if (name == method.name) {
      return &method;
    }
  }
  return nullptr;
}

constexpr char kSubkeyInfo[] = "ss-subkey";

}  // namespace

bool DeriveMasterKey(const std::string& password, size_t size, uint8_t* out) {
  // D1 = MD5(password), Di = MD5(Di-1 || password), concatenated and cut to size.
  uint8_t digest[16];
  size_t produced = 0;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  if (md == nullptr) {
    return false;
  }
  bool ok = true;
  for (int round = 0; ok && produced < size; ++round) {
    unsigned length = 0;
    ok = EVP_DigestInit_ex(md, EVP_md5(), nullptr) == 1 &&
         (round == 0 || EVP_DigestUpdate(md, digest, sizeof(digest)) == 1) &&
         EVP_DigestUpdate(md, password.data(), password.size()) == 1 &&
         EVP_DigestFinal_ex(md, digest, &length) == 1;
    size_t take = std::min(size - produced, sizeof(digest));
    std::memcpy(out + produced, digest, take);
    produced += take;
  }
  EVP_MD_CTX_free(md);
  return ok;
}

bool Key::Supports(const std::string& method) {
  return FindMethod(method) != nullptr;
}

std::shared_ptr<const Key> Key::Create(const std::string& method,
                                       const std::string& password,
                                       std::string* error) {
  const Method* found = FindMethod(method);
  if (found == nullptr) {
    *error = "unsupported method: " + method;
    return nullptr;
  }
  std::shared_ptr<Key> key(new Key());
  key->method_ = method;
  key->key_size_ = found->key_size;
  key->cipher_ = EVP_CIPHER_fetch(nullptr, found->cipher, nullptr);
  if (key->cipher_ == nullptr || !DeriveMasterKey(password, key->key_size_, key->master_)) {
    *error = "crypto: cannot set up " + method;
    return nullptr;
  }
  return key;
}

Key::~Key() {
  EVP_CIPHER_free(cipher_);
}

bool Key::Subkey(const uint8_t* salt, uint8_t* out) const {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  size_t length = key_size_;
  bool ok = ctx != nullptr && EVP_PKEY_derive_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha1()) == 1 &&
            EVP_PKEY_CTX_set1_hkdf_salt(ctx, salt, static_cast<int>(salt_size())) == 1 &&
            EVP_PKEY_CTX_set1_hkdf_key(ctx, master_, static_cast<int>(key_size_)) == 1 &&
            EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(kSubkeyInfo),
                                        sizeof(kSubkeyInfo) - 1) == 1 &&
            EVP_PKEY_derive(ctx, out, &length) == 1 && length == key_size_;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

Aead::Aead(std::shared_ptr<const Key> key, bool seal)
    : key_(std::move(key)), seal_(seal), ctx_(EVP_CIPHER_CTX_new()) {}

Aead::~Aead() {
  EVP_CIPHER_CTX_free(ctx_);
}

bool Aead::Start(const uint8_t* salt) {
  uint8_t subkey[32];
  std::memset(nonce_, 0, sizeof(nonce_));
  started_ = ctx_ != nullptr && key_->Subkey(salt, subkey) &&
             EVP_CipherInit_ex(ctx_, key_->cipher(), nullptr, subkey, nullptr, seal_ ? 1 : 0) == 1;
  OPENSSL_cleanse(subkey, sizeof(subkey));
  return started_;
}

bool Aead::Process(const uint8_t* in, size_t size, uint8_t* out) {
  int length = 0;
  int final_length = 0;
  bool ok = EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, nonce_, -1) == 1 &&
            (seal_ || EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, kTagSize,
                                          const_cast<uint8_t*>(in + size)) == 1) &&
            EVP_CipherUpdate(ctx_, out, &length, in, static_cast<int>(size)) == 1 &&
            EVP_CipherFinal_ex(ctx_, out + length, &final_length) == 1 &&
            (!seal_ || EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, kTagSize, out + size) == 1);
  // The counter is little-endian and grows after every operation, failed ones included.
  for (size_t i = 0; i < kNonceSize && ++nonce_[i] == 0; ++i) {
  }
  return ok;
}

size_t StreamSealer::MaxOutput(size_t size) const {
  size_t chunks = (size + kMaxChunkPayload - 1) / kMaxChunkPayload;
  return key_->salt_size() + size + chunks * kChunkOverhead;
}

size_t StreamSealer::Seal(const uint8_t* in, size_t size, uint8_t* out) {
  size_t written = 0;
  if (!aead_.started()) {
    if (RAND_bytes(out, static_cast<int>(key_->salt_size())) != 1 || !aead_.Start(out)) {
      return 0;
    }
    written = key_->salt_size();
  }
  while (size > 0) {
    size_t piece = std::min(size, kMaxChunkPayload);
    uint8_t length[2] = {static_cast<uint8_t>(piece >> 8), static_cast<uint8_t>(piece)};
    if (!aead_.Process(length, 2, out + written) ||
        !aead_.Process(in, piece, out + written + 2 + kTagSize)) {
      return 0;
    }
    written += piece + kChunkOverhead;
    in += piece;
    size -= piece;
  }
  return written;
}

StreamOpener::Status StreamOpener::Open(const uint8_t* in,
                                        size_t in_size,
                                        size_t* consumed,
                                        uint8_t* out,
                                        size_t* produced,
                                        std::string* error) {
  *consumed = 0;
  *produced = 0;
  while (true) {
    const uint8_t* at = in + *consumed;
    size_t left = in_size - *consumed;
    if (!aead_.started()) {
      if (left < key_->salt_size()) {
        break;
      }
      if (!aead_.Start(at)) {
        *error = "crypto: cannot derive the subkey";
        return Status::kFailed;
      }
      *consumed += key_->salt_size();
      continue;
    }
    if (pending_payload_ == 0) {
      if (left < 2 + kTagSize) {
        break;
      }
      uint8_t length[2];
      if (!aead_.Process(at, 2, length)) {
        *error = "decrypt: message authentication failed";
        return Status::kFailed;
      }
      size_t payload = (static_cast<size_t>(length[0]) << 8) | length[1];
      if (payload == 0 || payload > kMaxChunkPayload) {
        *error = "decrypt: bad chunk length " + std::to_string(payload);
        return Status::kFailed;
      }
      pending_payload_ = payload;
      *consumed += 2 + kTagSize;
      continue;
    }
    if (left < pending_payload_ + kTagSize) {
      break;
    }
    if (!aead_.Process(at, pending_payload_, out + *produced)) {
      *error = "decrypt: message authentication failed";
      return Status::kFailed;
    }
    *produced += pending_payload_;
    *consumed += pending_payload_ + kTagSize;
    pending_payload_ = 0;
  }
  return *consumed == 0 ? Status::kNeedMore : Status::kOk;
}

std::string SealPacket(const Key& key, std::string_view plaintext) {
  std::string packet(key.salt_size() + plaintext.size() + kTagSize, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(packet.data());
  if (RAND_bytes(bytes, static_cast<int>(key.salt_size())) != 1) {
    return std::string();
  }
  // A packet is sealed once with its own salt, so the shared key object is only read here.
  std::shared_ptr<const Key> borrowed(std::shared_ptr<const Key>(), &key);
  Aead aead(borrowed, true);
  if (!aead.Start(bytes) || !aead.Process(reinterpret_cast<const uint8_t*>(plaintext.data()),
                                          plaintext.size(), bytes + key.salt_size())) {
    return std::string();
  }
  return packet;
}

bool OpenPacket(const Key& key, std::string_view packet, std::string* plaintext) {
  if (packet.size() < key.salt_size() + kTagSize) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(packet.data());
  size_t size = packet.size() - key.salt_size() - kTagSize;
  plaintext->assign(size, '\0');
  std::shared_ptr<const Key> borrowed(std::shared_ptr<const Key>(), &key);
  Aead aead(borrowed, false);
  return aead.Start(bytes) &&
         aead.Process(bytes + key.salt_size(), size, reinterpret_cast<uint8_t*>(plaintext->data()));
}

std::string EncodeAddress(const std::string& host, uint16_t port) {
  std::string out;
  uint8_t v6[16];
  if (inet_pton(AF_INET, host.c_str(), v6) == 1) {
    out.push_back(0x01);
    out.append(reinterpret_cast<const char*>(v6), 4);
  } else if (inet_pton(AF_INET6, host.c_str(), v6) == 1) {
    out.push_back(0x04);
    out.append(reinterpret_cast<const char*>(v6), 16);
  } else {
    if (host.empty() || host.size() > 255) {
      return std::string();
    }
    out.push_back(0x03);
    out.push_back(static_cast<char>(host.size()));
    out += host;
  }
  out.push_back(static_cast<char>(port >> 8));
  out.push_back(static_cast<char>(port & 0xff));
  return out;
}

size_t DecodeAddress(std::string_view data, std::string* host, uint16_t* port) {
  if (data.empty()) {
    return 0;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  size_t end = 0;
  char text[INET6_ADDRSTRLEN] = {};
  switch (bytes[0]) {
    case 0x01:
      end = 1 + 4;
      if (data.size() < end + 2) {
        return 0;
      }
      inet_ntop(AF_INET, bytes + 1, text, sizeof(text));
      *host = text;
      break;
    case 0x04:
      end = 1 + 16;
      if (data.size() < end + 2) {
        return 0;
      }
      inet_ntop(AF_INET6, bytes + 1, text, sizeof(text));
      *host = text;
      break;
    case 0x03:
      if (data.size() < 2 || bytes[1] == 0) {
        return 0;
      }
      end = 2 + bytes[1];
      if (data.size() < end + 2) {
        return 0;
      }
      host->assign(data.data() + 2, bytes[1]);
      break;
    default:
      return 0;
  }
  *port = static_cast<uint16_t>((bytes[end] << 8) | bytes[end + 1]);
  return end + 2;
}

}  // namespace ss
}  // namespace box
