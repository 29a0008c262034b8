// The relay of an established session: bytes both ways through one bounded buffer per
// direction (a pipe and splice() once the direction carries bulk data), end of stream passed
// on as a half-close, and a stream that ended in an error passed on as a reset once the bytes
// read before it have reached the other side.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_address.h"
#include "engine/mixed_session.h"

namespace box {
namespace mixed {

namespace {

// Rounds of read-then-write per direction before other connections get their turn.
constexpr int kRoundsPerTurn = 8;
// A direction that has copied this much is a bulk transfer and moves on to a pipe.
constexpr uint64_t kSpliceAfter = 256 * 1024;
// How often, and how long at most, a reset waits for the receiver to take the bytes before it.
constexpr auto kResetPoll = std::chrono::milliseconds(5);
constexpr auto kResetLinger = std::chrono::seconds(5);

}  // namespace

void Session::Count(const Endpoint* from, size_t bytes) {
  if (from == &upstream_) {
    downloaded_ += bytes;
  } else {
    uploaded_ += bytes;
  }
  if (plan_.handle) {
    if (from == &client_) {
      plan_.handle->AddUpload(bytes);
    } else {
      plan_.handle->AddDownload(bytes);
    }
  }
}

bool Session::Flush(Endpoint* to, RelayBuffer* buffer, bool* progress) {
  while (to->writable && !buffer->empty()) {
    ssize_t count = send(to->fd.get(), buffer->data(), buffer->size(), MSG_NOSIGNAL);
    if (count > 0) {
      buffer->Consumed(static_cast<size_t>(count));
      *progress = true;
    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      to->writable = false;
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return WriteFailed(to, count < 0 ? errno : EPIPE);
    }
  }
  return true;
}

void Session::ReadFailed(Endpoint* from, int error_number) {
  // What was read before the error still goes out; the error follows it as a reset.
  from->eof = true;
  from->read_error = error_number;
  if (from == &upstream_) {
    server_->Log("ERROR",
                 Prefix() + "connection: read from " + target_ + ": " + ErrnoText(error_number));
  } else {
    server_->Log("INFO", Prefix() + "connection: read from client: " + ErrnoText(error_number));
  }
}

bool Session::WriteFailed(Endpoint* to, int error_number) {
  if (to == &upstream_) {
    server_->Log("ERROR",
                 Prefix() + "connection: write to " + target_ + ": " + ErrnoText(error_number));
  } else {
    server_->Log("INFO", Prefix() + "connection: write to client: " + ErrnoText(error_number));
  }
  return Abort();
}

bool Session::PassOnReset() {
  // A reset throws away whatever the kernel still queues towards the receiver, so it waits
  // until the receiver has acknowledged every byte.
  int queued = 0;
  if (ioctl(resetting_->fd.get(), SIOCOUTQ, &queued) != 0 || queued <= 0 ||
      Clock::now() >= reset_by_) {
    return Abort();
  }
  server_->SetDeadline(key_, &deadline_, Clock::now() + kResetPoll);
  return true;
}

bool Session::Abort() {
  // Closing with a zero linger sends a reset: a peer must not take a broken stream for a
  // complete one.
  const linger abort{1, 0};
  for (Endpoint* endpoint : {&client_, &upstream_}) {
    if (endpoint->fd.valid()) {
      setsockopt(endpoint->fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
  }
  return false;
}

bool Session::SpliceTransfer(Endpoint* from, SplicePipe* pipe, Endpoint* to, bool* progress) {
  constexpr unsigned kFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
  while (from->readable && !from->eof && pipe->bytes < SplicePipe::kCapacity) {
    ssize_t count = splice(from->fd.get(), nullptr, pipe->write_end.get(), nullptr,
                           SplicePipe::kCapacity - pipe->bytes, kFlags);
    if (count > 0) {
      pipe->bytes += static_cast<size_t>(count);
      Count(from, static_cast<size_t>(count));
      *progress = true;
    } else if (count == 0) {
      from->eof = true;
      *progress = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // With bytes in the pipe this may mean the pipe is full rather than the socket empty,
      // so the socket counts as drained only when the pipe was empty.
      if (pipe->bytes == 0) {
        from->readable = false;
      }
      break;
    } else if (errno != EINTR) {
      ReadFailed(from, errno);
    }
  }
  while (to->writable && pipe->bytes > 0) {
    ssize_t count =
        splice(pipe->read_end.get(), nullptr, to->fd.get(), nullptr, pipe->bytes, kFlags);
    if (count > 0) {
      pipe->bytes -= static_cast<size_t>(count);
      *progress = true;
    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      to->writable = false;
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return WriteFailed(to, count < 0 ? errno : EPIPE);
    }
  }
  return true;
}

bool Session::Transfer(Endpoint* from,
                       RelayBuffer* buffer,
                       SplicePipe* pipe,
                       Endpoint* to,
                       bool* progress) {
  // Bytes already in the buffer go first, so the order holds when the pipe takes over.
  if (!Flush(to, buffer, progress)) {
    return false;
  }
  if (!pipe->active() && !pipe->unavailable && pipe->copied >= kSpliceAfter && buffer->empty()) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
      // A larger pipe halves the splice calls per byte where the system allows it.
      fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(SplicePipe::kCapacity));
      pipe->read_end.Reset(ends[0]);
      pipe->write_end.Reset(ends[1]);
    } else {
      pipe->unavailable = true;
    }
  }
  if (pipe->active() && buffer->empty()) {
    if (!SpliceTransfer(from, pipe, to, progress)) {
      return false;
    }
  } else {
    while (from->readable && !from->eof) {
      size_t room = buffer->Room();
      if (room == 0) {
        break;
      }
      ssize_t count = recv(from->fd.get(), buffer->RoomData(), room, 0);
      if (count > 0) {
        buffer->Produced(static_cast<size_t>(count));
        pipe->copied += static_cast<uint64_t>(count);
        Count(from, static_cast<size_t>(count));
        *progress = true;
        // A full read may mean more is waiting; write first so the buffer does not cap the
        // turn.
        if (static_cast<size_t>(count) == room) {
          break;
        }
      } else if (count == 0) {
        from->eof = true;
        *progress = true;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        from->readable = false;
      } else if (errno != EINTR) {
        ReadFailed(from, errno);
      }
    }
    if (!Flush(to, buffer, progress)) {
      return false;
    }
  }
  if (from->eof && buffer->empty() && pipe->bytes == 0 && !to->write_shut) {
    if (from->read_error != 0) {
      resetting_ = to;
      reset_by_ = Clock::now() + kResetLinger;
    } else {
      shutdown(to->fd.get(), SHUT_WR);
    }
    to->write_shut = true;
    *progress = true;
  }
  return true;
}

bool Session::Relay() {
  for (int round = 0; round < kRoundsPerTurn; ++round) {
    bool progress = false;
    if (sealer_) {
      if (resetting_ == nullptr && !SealTransfer(&progress)) {
        return false;
      }
      if (resetting_ == nullptr && !OpenTransfer(&progress)) {
        return false;
      }
    } else {
      if (resetting_ == nullptr &&
          !Transfer(&client_, &to_upstream_, &to_upstream_pipe_, &upstream_, &progress)) {
        return false;
      }
      if (resetting_ == nullptr &&
          !Transfer(&upstream_, &to_client_, &to_client_pipe_, &client_, &progress)) {
        return false;
      }
    }
    if (resetting_ != nullptr) {
      return PassOnReset();
    }
    if (client_.write_shut && upstream_.write_shut) {
      // Both directions reached their end and were passed on.
      return false;
    }
    if (!progress) {
      return true;
    }
  }
  server_->SchedulePump(key_);
  return true;
}

}  // namespace mixed
}  // namespace box
