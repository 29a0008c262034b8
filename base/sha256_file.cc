// Hashing a file. Large files are read on a helper thread into a small ring of buffers while
// the calling thread compresses, so copying out of the page cache overlaps the hashing instead
// of adding to it. The reads are the same 64 KiB reads either way.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "base/scoped_fd.h"
#include "base/sha256.h"

namespace {

// Files smaller than this are read in line: a thread costs more than it saves on them.
constexpr off_t kPipelineMinimumSize = 1 << 20;
constexpr size_t kRingSlots = 8;

// One read of up to kSha256FileReadSize bytes; EINTR is retried. Returns what read(2) returns.
ssize_t ReadChunk(int fd, uint8_t* buffer) {
  for (;;) {
    ssize_t n = read(fd, buffer, kSha256FileReadSize);
    if (n >= 0 || errno != EINTR) {
      return n;
    }
  }
}

// The reader thread fills slots in order and the hashing thread empties them in order; `filled`
// counts slots read and not yet hashed. Each side sleeps only when it has nothing to do, and
// the reader is woken only once half the ring is free again, so a wake-up is rare compared with
// the number of reads.
struct ReadRing {
  explicit ReadRing(int file) : fd(file), buffers(new uint8_t[kRingSlots * kSha256FileReadSize]) {}

  uint8_t* Slot(size_t index) { return buffers.get() + index * kSha256FileReadSize; }

  const int fd;
  std::unique_ptr<uint8_t[]> buffers;
  std::mutex mutex;
  std::condition_variable filled_changed;
  std::condition_variable freed_changed;
  // Guarded by mutex.
  ssize_t lengths[kRingSlots] = {};  // read(2)'s result for each filled slot
  size_t filled = 0;
  bool hasher_waiting = false;
  bool reader_waiting = false;
};

// Runs on the reader thread until end of file or a read error, which it passes on as the
// length of its last slot.
void* ReaderThreadMain(void* data) {
  ReadRing* ring = static_cast<ReadRing*>(data);
  for (size_t slot = 0;; slot = (slot + 1) % kRingSlots) {
    {
      std::unique_lock<std::mutex> lock(ring->mutex);
      while (ring->filled == kRingSlots) {
        ring->reader_waiting = true;
        ring->freed_changed.wait(lock);
      }
    }
    const ssize_t n = ReadChunk(ring->fd, ring->Slot(slot));
    bool wake;
    {
      std::lock_guard<std::mutex> lock(ring->mutex);
      ring->lengths[slot] = n;
      ++ring->filled;
      wake = ring->hasher_waiting;
      ring->hasher_waiting = false;
    }
    if (wake) {
      ring->filled_changed.notify_one();
    }
    if (n <= 0) {
      return nullptr;
    }
  }
}

// Hashes the ring's slots on the calling thread as the reader fills them. False on a read error.
// Always waits for the reader's last slot, so the thread has finished with the ring.
bool HashFromRing(ReadRing* ring, Sha256Ctx* ctx) {
  for (size_t slot = 0;; slot = (slot + 1) % kRingSlots) {
    ssize_t n;
    {
      std::unique_lock<std::mutex> lock(ring->mutex);
      while (ring->filled == 0) {
        ring->hasher_waiting = true;
        ring->filled_changed.wait(lock);
      }
      n = ring->lengths[slot];
    }
    if (n <= 0) {
      return n == 0;
    }
    Sha256::Update(ctx, ring->Slot(slot), static_cast<size_t>(n));
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(ring->mutex);
      --ring->filled;
      if (ring->reader_waiting && ring->filled <= kRingSlots / 2) {
        ring->reader_waiting = false;
        wake = true;
      }
    }
    if (wake) {
      ring->freed_changed.notify_one();
    }
  }
}

// Reads and hashes on the calling thread alone. False on a read error.
bool HashInLine(int fd, Sha256Ctx* ctx) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kSha256FileReadSize]);
  for (;;) {
    const ssize_t n = ReadChunk(fd, buffer.get());
    if (n <= 0) {
      return n == 0;
    }
    Sha256::Update(ctx, buffer.get(), static_cast<size_t>(n));
  }
}

// Opens `path` for hashing and returns the descriptor, or -1 with errno set. The open does not
// wait (an ordinary open of a FIFO waits for a writer for good), and only a regular file is kept,
// judged from the opened descriptor so that a swap after any earlier look at the path counts.
int OpenRegularFile(const std::string& path, Sha256Links links, struct stat* info) {
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                    (links == Sha256Links::kRefuse ? O_NOFOLLOW : 0);
  korvane::ScopedFd fd(open(path.c_str(), flags));
  if (!fd.valid()) {
    return -1;
  }
  int error = 0;
  if (fstat(fd.get(), info) != 0) {
    error = errno;
  } else if (!S_ISREG(info->st_mode)) {
    error = EINVAL;
  } else {
    // Reads go back to waiting as usual (a mandatory lock would otherwise fail them).
    const int status = fcntl(fd.get(), F_GETFL);
    if (status < 0 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
      error = errno;
    }
  }
  if (error != 0) {
    fd.reset();
    errno = error;
    return -1;
  }
  return fd.release();
}

}  // namespace

std::string Sha256::FileHex(const std::string& path, Sha256Links links) {
  struct stat info;
  korvane::ScopedFd fd(OpenRegularFile(path, links, &info));
  if (!fd.valid()) {
    return std::string();
  }
  Sha256Ctx ctx;
  Init(&ctx);
  bool ok;
  if (info.st_size >= kPipelineMinimumSize) {
    ReadRing ring(fd.get());
    pthread_t reader;
    if (pthread_create(&reader, nullptr, ReaderThreadMain, &ring) == 0) {
      ok = HashFromRing(&ring, &ctx);
      pthread_join(reader, nullptr);
    } else {
      ok = HashInLine(fd.get(), &ctx);
    }
  } else {
    ok = HashInLine(fd.get(), &ctx);
  }
  if (!ok) {
    return std::string();
  }
  uint8_t digest[kSha256DigestSize];
  Final(&ctx, digest);
  return Hex(digest);
}
