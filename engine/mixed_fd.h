// Byte-buffer and pipe holders of the mixed inbound's event loop.
#ifndef ENGINE_MIXED_FD_H_
#define ENGINE_MIXED_FD_H_

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/unique_fd.h"

namespace box {
namespace mixed {

// The bytes of one relay direction, read from one socket and not yet written to the other.
// Holding at most kCapacity bytes is what stops reading a side whose peer does not keep up.
class RelayBuffer {
 public:
  static constexpr size_t kCapacity = 64 * 1024;

  RelayBuffer() : bytes_(kCapacity) {}

  bool empty() const { return begin_ == end_; }
  size_t size() const { return end_ - begin_; }
  const char* data() const { return bytes_.data() + begin_; }
  std::string_view view() const { return std::string_view(data(), size()); }

  // Free room at the end, made contiguous first; zero when the buffer is full.
  size_t Room() {
    if (begin_ == end_) {
      begin_ = end_ = 0;
    }
    if (end_ == bytes_.size() && begin_ > 0) {
      std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (size() >= kCapacity) {
      return 0;
    }
    return std::min(bytes_.size() - end_, kCapacity - size());
  }
  char* RoomData() { return bytes_.data() + end_; }
  void Produced(size_t count) { end_ += count; }
  void Consumed(size_t count) {
    begin_ += count;
    if (begin_ == end_) {
      begin_ = end_ = 0;
    }
  }
  void Clear() { begin_ = end_ = 0; }

  // Protocol messages (replies, a rewritten request head) may briefly exceed the capacity.
  void Append(std::string_view bytes) {
    Room();
    if (bytes_.size() - end_ < bytes.size()) {
      bytes_.resize(end_ + bytes.size());
    }
    std::memcpy(bytes_.data() + end_, bytes.data(), bytes.size());
    end_ += bytes.size();
  }
  void Prepend(std::string_view bytes) {
    std::vector<char> joined;
    joined.reserve(std::max(kCapacity, bytes.size() + size()));
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    joined.insert(joined.end(), data(), data() + size());
    end_ = joined.size();
    begin_ = 0;
    joined.resize(std::max(kCapacity, joined.size()));
    bytes_.swap(joined);
  }

 private:
  std::vector<char> bytes_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

// Ciphertext of one direction of an encrypted outbound: sealed bytes waiting for the server, or
// the server's bytes waiting for a whole chunk. Fixed room, made contiguous on demand.
class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity = 0) : bytes_(capacity) {}

  bool empty() const { return begin_ == end_; }
  size_t size() const { return end_ - begin_; }
  uint8_t* data() { return bytes_.data() + begin_; }
  void Reserve(size_t capacity) {
    if (bytes_.size() < capacity) {
      Compact();
      bytes_.resize(capacity);
    }
  }
  // Contiguous free room at the end.
  size_t Room() {
    if (end_ == bytes_.size() && begin_ > 0) {
      Compact();
    }
    return bytes_.size() - end_;
  }
  uint8_t* RoomData() { return bytes_.data() + end_; }
  void Produced(size_t count) { end_ += count; }
  void Consumed(size_t count) {
    begin_ += count;
    if (begin_ == end_) {
      begin_ = end_ = 0;
    }
  }

 private:
  void Compact() {
    if (begin_ == end_) {
      begin_ = end_ = 0;
      return;
    }
    std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  std::vector<uint8_t> bytes_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

// A kernel pipe through which one relay direction moves bulk data with splice(), sparing the
// copies into and out of user space. Short exchanges never get one (it costs two descriptors).
struct SplicePipe {
  static constexpr size_t kCapacity = 256 * 1024;
  UniqueFd read_end;
  UniqueFd write_end;
  size_t bytes = 0;          // spliced in and not yet spliced out
  uint64_t copied = 0;       // bytes the direction has moved through its buffer so far
  bool unavailable = false;  // creating the pipe failed; the direction keeps copying
  bool active() const { return write_end.valid(); }
};

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_FD_H_
