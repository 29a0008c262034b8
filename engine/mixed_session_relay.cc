// The relay of an established session: bytes both ways through one bounded buffer per
// direction, end of stream passed on as a half-close.
#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_session.h"

namespace box {
namespace mixed {

namespace {

// Rounds of read-then-write per direction before other connections get their turn.
constexpr int kRoundsPerTurn = 8;

}  // namespace

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
      return false;
    }
  }
  return true;
}

bool Session::Transfer(Endpoint* from, RelayBuffer* buffer, Endpoint* to, bool* progress) {
  while (from->readable && !from->eof) {
    size_t room = buffer->Room();
    if (room == 0) {
      break;
    }
    ssize_t count = recv(from->fd.get(), buffer->RoomData(), room, 0);
    if (count > 0) {
      buffer->Produced(static_cast<size_t>(count));
      *progress = true;
      // A full read may mean more is waiting; write first so the buffer does not cap the turn.
      if (static_cast<size_t>(count) == room) {
        break;
      }
    } else if (count == 0) {
      from->eof = true;
      *progress = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      from->readable = false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  if (!Flush(to, buffer, progress)) {
    return false;
  }
  if (from->eof && buffer->empty() && !to->write_shut) {
    shutdown(to->fd.get(), SHUT_WR);
    to->write_shut = true;
    *progress = true;
  }
  return true;
}

bool Session::Relay() {
  for (int round = 0; round < kRoundsPerTurn; ++round) {
    bool progress = false;
    if (!Transfer(&client_, &to_upstream_, &upstream_, &progress) ||
        !Transfer(&upstream_, &to_client_, &client_, &progress)) {
      return false;
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
