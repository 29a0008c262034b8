// Proxy outbounds of a session: the SOCKS5 or HTTP CONNECT handshake with the proxy server
// before the relay, and the Shadowsocks relay that seals what the client sends and opens what
// the server answers.
#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_http.h"
#include "engine/mixed_session.h"
#include "engine/mixed_socks5.h"

namespace box {
namespace mixed {

namespace {

// Room for the server's ciphertext: a whole chunk always fits beside a full read.
constexpr size_t kOpenedCapacity = RelayBuffer::kCapacity + ss::kMaxChunkPayload + 64;
// How long a reset waits at most for the receiver to take the bytes before it.
constexpr auto kResetLinger = std::chrono::seconds(5);

}  // namespace

bool Session::StartProxyHandshake() {
  state_ = State::kProxyHandshake;
  const ProxyClient::Kind kind = plan_.leaf.kind == OutboundLeaf::Kind::kSocks
                                     ? ProxyClient::Kind::kSocks5
                                     : ProxyClient::Kind::kHttpConnect;
  proxy_ = std::make_unique<ProxyClient>(kind, plan_.leaf.username, plan_.leaf.password,
                                         target_host_, target_port_);
  proxy_output_ = proxy_->Start();
  server_->SetDeadline(key_, &deadline_, Clock::now() + plan_.leaf.connect_timeout);
  return ProxyHandshake();
}

bool Session::ProxyHandshake() {
  while (true) {
    while (upstream_.writable && !proxy_output_.empty()) {
      ssize_t count =
          send(upstream_.fd.get(), proxy_output_.data(), proxy_output_.size(), MSG_NOSIGNAL);
      if (count > 0) {
        proxy_output_.erase(0, static_cast<size_t>(count));
      } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        upstream_.writable = false;
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else {
        int error_number = count < 0 ? errno : EPIPE;
        return OutboundFailed("write to " + dialing_ + ": " + ErrnoText(error_number), error_number,
                              kSocks5GeneralFailure);
      }
    }
    bool received = false;
    bool closed = false;
    while (upstream_.readable && !closed) {
      char buffer[4096];
      ssize_t count = recv(upstream_.fd.get(), buffer, sizeof(buffer), 0);
      if (count > 0) {
        proxy_input_.append(buffer, static_cast<size_t>(count));
        received = true;
      } else if (count == 0) {
        closed = true;  // what came before the end is read first: it may be the refusal
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        upstream_.readable = false;
      } else if (errno != EINTR) {
        int error_number = errno;
        return OutboundFailed("read from " + dialing_ + ": " + ErrnoText(error_number),
                              error_number, kSocks5GeneralFailure);
      }
    }
    if (!received && !closed) {
      return true;
    }
    size_t consumed = 0;
    std::string reply;
    ProxyClient::Status status = proxy_->Feed(proxy_input_, &consumed, &reply);
    proxy_output_ += reply;
    if (status == ProxyClient::Status::kFailed) {
      return OutboundFailed(proxy_->error(), 0, proxy_->failure_code());
    }
    if (status == ProxyClient::Status::kIncomplete && closed) {
      return OutboundFailed("server " + dialing_ + " closed the connection during the handshake",
                            ECONNRESET, kSocks5GeneralFailure);
    }
    if (status == ProxyClient::Status::kDone) {
      server_->SetDeadline(key_, &deadline_, std::nullopt);
      // What the server sent after its answer already belongs to the tunnel.
      std::string early = proxy_input_.substr(consumed);
      proxy_input_.clear();
      proxy_.reset();
      return OnTunnelOpen(early);
    }
    proxy_input_.erase(0, consumed);
  }
}

bool Session::StartShadowsocks() {
  std::string header = ss::EncodeAddress(target_host_, target_port_);
  if (header.empty()) {
    return OutboundFailed("invalid destination " + target_, EINVAL, kSocks5GeneralFailure);
  }
  sealer_ = std::make_unique<ss::StreamSealer>(plan_.leaf.key);
  opener_ = std::make_unique<ss::StreamOpener>(plan_.leaf.key);
  sealed_.Reserve(sealer_->MaxOutput(2 * RelayBuffer::kCapacity));
  opened_.Reserve(kOpenedCapacity);
  // The target address leads the stream, with whatever the client sent already (an HTTP
  // request head) in the same first chunk.
  to_upstream_.Prepend(header);
  return OnTunnelOpen(std::string_view());
}

bool Session::SendSealed(bool* progress) {
  while (upstream_.writable && !sealed_.empty()) {
    ssize_t count = send(upstream_.fd.get(), sealed_.data(), sealed_.size(), MSG_NOSIGNAL);
    if (count > 0) {
      sealed_.Consumed(static_cast<size_t>(count));
      *progress = true;
    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      upstream_.writable = false;
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return WriteFailed(&upstream_, count < 0 ? errno : EPIPE);
    }
  }
  return true;
}

bool Session::SealTransfer(bool* progress) {
  if (!SendSealed(progress)) {
    return false;
  }
  // Reading waits while the server is not keeping up.
  while (sealed_.empty() && client_.readable && !client_.eof) {
    size_t room = to_upstream_.Room();
    if (room == 0) {
      break;
    }
    ssize_t count = recv(client_.fd.get(), to_upstream_.RoomData(), room, 0);
    if (count > 0) {
      to_upstream_.Produced(static_cast<size_t>(count));
      Count(&client_, static_cast<size_t>(count));
      *progress = true;
      if (static_cast<size_t>(count) == room) {
        break;
      }
    } else if (count == 0) {
      client_.eof = true;
      *progress = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      client_.readable = false;
    } else if (errno != EINTR) {
      ReadFailed(&client_, errno);
    }
  }
  if (sealed_.empty() && !to_upstream_.empty()) {
    sealed_.Reserve(sealer_->MaxOutput(to_upstream_.size()));
    size_t written = sealer_->Seal(reinterpret_cast<const uint8_t*>(to_upstream_.data()),
                                   to_upstream_.size(), sealed_.RoomData());
    if (written == 0) {
      server_->Log("ERROR", Prefix() + "connection: " + plan_.leaf.name + ": encrypt failed");
      return Abort();
    }
    sealed_.Produced(written);
    to_upstream_.Clear();
    if (!SendSealed(progress)) {
      return false;
    }
    if (!awaiting_answer_ && downloaded_ == 0 &&
        (uploaded_ > 0 || protocol_ == Protocol::kHttpForward)) {
      awaiting_answer_ = true;
      server_->SetDeadline(key_, &deadline_, Clock::now() + plan_.leaf.first_answer_timeout);
    }
  }
  if (client_.eof && to_upstream_.empty() && sealed_.empty() && !upstream_.write_shut) {
    if (client_.read_error != 0) {
      resetting_ = &upstream_;
      reset_by_ = Clock::now() + kResetLinger;
    } else {
      shutdown(upstream_.fd.get(), SHUT_WR);
    }
    upstream_.write_shut = true;
    *progress = true;
  }
  return true;
}

bool Session::OpenTransfer(bool* progress) {
  if (!Flush(&client_, &to_client_, progress)) {
    return false;
  }
  while (upstream_.readable && !upstream_.eof) {
    size_t room = opened_.Room();
    if (room == 0) {
      break;
    }
    ssize_t count = recv(upstream_.fd.get(), opened_.RoomData(), room, 0);
    if (count > 0) {
      opened_.Produced(static_cast<size_t>(count));
      *progress = true;
      if (static_cast<size_t>(count) == room) {
        break;
      }
    } else if (count == 0) {
      upstream_.eof = true;
      *progress = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      upstream_.readable = false;
    } else if (errno != EINTR) {
      ReadFailed(&upstream_, errno);
    }
  }
  // Opening waits while the client is not keeping up.
  if (to_client_.empty() && !opened_.empty()) {
    size_t room = to_client_.Room();
    size_t consumed = 0;
    size_t produced = 0;
    std::string error;
    ss::StreamOpener::Status status =
        opener_->Open(opened_.data(), std::min(opened_.size(), room), &consumed,
                      reinterpret_cast<uint8_t*>(to_client_.RoomData()), &produced, &error);
    if (status == ss::StreamOpener::Status::kFailed) {
      server_->Log("ERROR", Prefix() + "connection: read from " + plan_.leaf.name + ": " + error);
      return Abort();
    }
    opened_.Consumed(consumed);
    to_client_.Produced(produced);
    Count(&upstream_, produced);
    if (awaiting_answer_ && produced > 0) {
      awaiting_answer_ = false;
      if (resetting_ == nullptr) {
        server_->SetDeadline(key_, &deadline_, std::nullopt);
      }
    }
    if (!Flush(&client_, &to_client_, progress)) {
      return false;
    }
    if (status == ss::StreamOpener::Status::kOk && !opened_.empty()) {
      // Whole chunks may be left beyond what one pass opens: the next pass takes them.
      *progress = true;
      return true;
    }
  }
  if (upstream_.eof && to_client_.empty() && !client_.write_shut) {
    if (downloaded_ == 0 && upstream_.read_error == 0) {
      return NoAnswer(opened_.empty() ? "server closed the connection without answering"
                                      : "server sent a broken stream");
    }
    if (upstream_.read_error != 0 || !opened_.empty()) {
      // A stream cut inside a chunk is as broken as one that ended in an error.
      resetting_ = &client_;
      reset_by_ = Clock::now() + kResetLinger;
    } else {
      shutdown(client_.fd.get(), SHUT_WR);
    }
    client_.write_shut = true;
    *progress = true;
  }
  return true;
}

bool Session::NoAnswer(const std::string& reason) {
  const std::string text = plan_.leaf.name + ": " + reason;
  server_->Log("ERROR", Prefix() + "connection: " + text);
  if (protocol_ == Protocol::kHttpForward) {
    // Nothing reached the client yet: it gets the reason instead of an empty answer.
    DropUpstream();
    return Fail(HttpResponse(502, "Bad Gateway", text + "\n"));
  }
  return Abort();
}

}  // namespace mixed
}  // namespace box
