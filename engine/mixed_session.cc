#include "engine/mixed_session.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "engine/mixed_http.h"
#include "engine/mixed_socks5.h"

namespace box {
namespace mixed {

namespace {

// How long a refused client may take to read its reply before the socket is closed.
constexpr auto kFailLinger = std::chrono::seconds(2);

}  // namespace

std::string FormatAge(Clock::duration age) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(age).count();
  char text[32];
  if (ms < 1000) {
    std::snprintf(text, sizeof(text), "%lldms", static_cast<long long>(ms));
  } else if (ms < 60 * 1000) {
    // Two decimals at most, trailing zeros dropped: "1.25s", "5.2s", "3s".
    std::snprintf(text, sizeof(text), "%.2f", static_cast<double>(ms) / 1000.0);
    std::string seconds = text;
    while (seconds.back() == '0') {
      seconds.pop_back();
    }
    if (seconds.back() == '.') {
      seconds.pop_back();
    }
    return seconds + "s";
  } else {
    long long total = ms / 1000;
    if (total < 3600) {
      std::snprintf(text, sizeof(text), "%lldm%llds", total / 60, total % 60);
    } else {
      std::snprintf(text, sizeof(text), "%lldh%lldm%llds", total / 3600, total % 3600 / 60,
                    total % 60);
    }
  }
  return text;
}

Session::Session(MixedServer* server, uint64_t key, UniqueFd client, const sockaddr_storage& peer)
    : server_(server),
      key_(key),
      id_(server->NextConnectionId()),
      started_(Clock::now()),
      peer_(peer) {
  client_.fd = std::move(client);
}

Session::~Session() {
  if (plan_.handle) {
    plan_.handle->SetWaker(nullptr);
  }
}

void Session::Interrupt() {
  server_->Log("INFO", Prefix() + "connection: closed by the controller");
  Abort();
}

void Session::Begin() {
  server_->Log("INFO",
               Prefix() + InboundName() + ": inbound connection from " + FormatSockaddr(peer_));
}

std::string Session::Prefix() const {
  return "[" + std::to_string(id_) + " " + FormatAge(Clock::now() - started_) + "] ";
}

std::string Session::InboundName() const {
  return "inbound/" + server_->type() + "[" + server_->tag() + "]";
}

bool Session::BeginTranslated(const TranslatedFlow& flow) {
  protocol_ = Protocol::kTranslated;
  translated_ = flow;
  server_->Log("INFO", Prefix() + InboundName() + ": inbound connection from " +
                           FormatHostPort(flow.source_ip, flow.source_port));
  state_ = State::kResolving;  // nothing is read from the client before the outbound is open
  return OpenOutbound(flow.destination_ip, flow.destination_port);
}

bool Session::OnEvent(int side, uint32_t events) {
  Endpoint* endpoint = side == kClientSide ? &client_ : &upstream_;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
    endpoint->readable = true;
  }
  if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) {
    endpoint->writable = true;
  }
  if (side == kUpstreamSide && state_ == State::kConnecting) {
    return endpoint->writable ? CheckConnect() : true;
  }
  if (side == kUpstreamSide && state_ == State::kProxyHandshake) {
    return ProxyHandshake();
  }
  if (side == kUdpClientSide) {
    return OnUdpClient();
  }
  if (side == kUdpOutboundSide) {
    return OnUdpOutbound();
  }
  return Pump();
}

bool Session::Pump() {
  switch (state_) {
    case State::kSniff:
    case State::kSocksGreeting:
    case State::kSocksAuth:
    case State::kSocksRequest:
    case State::kHttpHead: {
      if (!ReadHandshake() || !Handshake()) {
        return false;
      }
      if (state_ == State::kRelay || state_ == State::kFailing) {
        return Pump();
      }
      bool progress = false;
      return Flush(&client_, &to_client_, &progress);
    }
    case State::kResolving:
    case State::kConnecting:
    case State::kProxyHandshake: {
      // The client's early bytes wait in its buffer until the dial is done.
      bool progress = false;
      return Flush(&client_, &to_client_, &progress);
    }
    case State::kRelay:
      return Relay();
    case State::kFailing:
      return Failing();
    case State::kUdpAssociate:
      return UdpControl();
  }
  return false;
}

bool Session::ReadHandshake() {
  while (client_.readable) {
    size_t room = to_upstream_.Room();
    if (room == 0) {
      return true;
    }
    ssize_t count = recv(client_.fd.get(), to_upstream_.RoomData(), room, 0);
    if (count > 0) {
      to_upstream_.Produced(static_cast<size_t>(count));
    } else if (count == 0) {
      // The client left before finishing its request.
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      client_.readable = false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool Session::Handshake() {
  while (true) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(to_upstream_.data());
    size_t size = to_upstream_.size();
    size_t consumed = 0;
    std::string error;
    switch (state_) {
      case State::kSniff: {
        if (size == 0) {
          return true;
        }
        char first = static_cast<char>(bytes[0]);
        if (bytes[0] == kSocks5Version) {
          state_ = State::kSocksGreeting;
        } else if ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') ||
                   first == '\r' || first == '\n') {
          state_ = State::kHttpHead;
        } else {
          server_->Log("ERROR", Prefix() + InboundName() + ": process connection from " +
                                    FormatSockaddr(peer_) + ": unknown protocol, first byte " +
                                    std::to_string(bytes[0]));
          return false;
        }
        break;
      }
      case State::kSocksGreeting: {
        bool no_auth = false;
        bool user_pass = false;
        ParseStatus status =
            ParseSocks5Greeting(bytes, size, &consumed, &no_auth, &user_pass, &error);
        if (status == ParseStatus::kIncomplete) {
          return true;
        }
        if (status == ParseStatus::kInvalid) {
          LogRefusal(error);
          return false;
        }
        to_upstream_.Consumed(consumed);
        protocol_ = Protocol::kSocks5;
        // With users, only username/password will do; without, only no authentication.
        const bool auth = server_->RequiresAuth();
        if (auth ? !user_pass : !no_auth) {
          LogRefusal("socks5: no acceptable authentication method");
          return Fail(Socks5MethodReply(kSocks5MethodNoneAcceptable));
        }
        to_client_.Append(Socks5MethodReply(auth ? kSocks5MethodUserPass : kSocks5MethodNoAuth));
        state_ = auth ? State::kSocksAuth : State::kSocksRequest;
        break;
      }
      case State::kSocksAuth: {
        std::string username;
        std::string password;
        ParseStatus status =
            ParseSocks5UserPass(bytes, size, &consumed, &username, &password, &error);
        if (status == ParseStatus::kIncomplete) {
          return true;
        }
        if (status == ParseStatus::kInvalid) {
          LogRefusal(error);
          return false;
        }
        to_upstream_.Consumed(consumed);
        if (!server_->Authenticate(username, password)) {
          LogRefusal("socks5: authentication failed");
          return Fail(Socks5UserPassReply(false));
        }
        to_client_.Append(Socks5UserPassReply(true));
        state_ = State::kSocksRequest;
        break;
      }
      case State::kSocksRequest: {
        Socks5Request request;
        uint8_t reply_code = kSocks5GeneralFailure;
        ParseStatus status =
            ParseSocks5Request(bytes, size, &consumed, &request, &reply_code, &error);
        if (status == ParseStatus::kIncomplete) {
          return true;
        }
        if (status == ParseStatus::kInvalid) {
          server_->Log("ERROR", Prefix() + InboundName() + ": process connection from " +
                                    FormatSockaddr(peer_) + ": " + error);
          return Fail(Socks5Reply(reply_code, nullptr));
        }
        to_upstream_.Consumed(consumed);
        if (request.command == kSocks5CommandUdpAssociate) {
          return StartUdpAssociate();
        }
        return OpenOutbound(request.host, request.port);
      }
      case State::kHttpHead: {
        HttpProxyRequest request;
        ParseStatus status =
            ParseHttpProxyRequest(to_upstream_.view(), &consumed, &request, &error);
        if (status == ParseStatus::kIncomplete && to_upstream_.Room() == 0) {
          status = ParseStatus::kInvalid;
          error = "http: request head too large";
        }
        if (status == ParseStatus::kIncomplete) {
          return true;
        }
        if (status == ParseStatus::kInvalid) {
          server_->Log("ERROR", Prefix() + InboundName() + ": process connection from " +
                                    FormatSockaddr(peer_) + ": " + error);
          return Fail(HttpResponse(400, "Bad Request", error + "\n"));
        }
        to_upstream_.Consumed(consumed);
        if (server_->RequiresAuth()) {
          std::string username;
          std::string password;
          if (!ParseBasicCredentials(request.proxy_authorization, &username, &password) ||
              !server_->Authenticate(username, password)) {
            LogRefusal(request.proxy_authorization.empty() ? "http: authentication required"
                                                           : "http: authentication failed");
            return Fail(HttpProxyAuthRequired());
          }
        }
        if (request.is_connect) {
          protocol_ = Protocol::kHttpConnect;
        } else {
          protocol_ = Protocol::kHttpForward;
          to_upstream_.Prepend(request.forward_head);
        }
        return OpenOutbound(request.host, request.port);
      }
      default:
        return true;
    }
  }
}

void Session::LogRefusal(const std::string& reason) {
  server_->Log("ERROR", Prefix() + InboundName() + ": process connection from " +
                            FormatSockaddr(peer_) + ": " + reason);
}

bool Session::OpenOutbound(const std::string& host, uint16_t port) {
  target_ = FormatHostPort(host, port);
  target_host_ = host;
  target_port_ = port;
  server_->Log("INFO", Prefix() + InboundName() + ": inbound connection to " + target_);
  plan_ = server_->Route(MakeRouteRequest("tcp", host, port));
  if (plan_.refusal.empty() && plan_.hijack_dns) {
    if (protocol_ == Protocol::kTranslated && server_->HandOffDns(&client_.fd, translated_)) {
      return false;  // the DNS answerer owns the connection now
    }
    plan_.refusal = "dns: hijacked TCP queries are answered on the tun inbound only";
  }
  if (plan_.refusal.empty() && plan_.leaf.kind == OutboundLeaf::Kind::kBlock) {
    plan_.refusal = plan_.leaf.name + ": blocked";
  }
  if (!plan_.refusal.empty()) {
    server_->Log("ERROR", Prefix() + "connection: open outbound connection: " + plan_.refusal);
    if (protocol_ == Protocol::kSocks5) {
      return Fail(Socks5Reply(kSocks5NotAllowed, nullptr));
    }
    return Fail(HttpResponse(502, "Bad Gateway", plan_.refusal + "\n"));
  }
  if (plan_.handle) {
    MixedServer* server = server_;
    plan_.handle->SetWaker([server] { server->RequestCloses(); });
    if (plan_.handle->close_requested()) {
      server_->RequestCloses();
    }
  }
  // A proxy outbound dials its server; direct dials the target.
  const bool direct = plan_.leaf.kind == OutboundLeaf::Kind::kDirect;
  const std::string& dial_host = direct ? host : plan_.leaf.server;
  const uint16_t dial_port = direct ? port : plan_.leaf.server_port;
  sockaddr_storage literal;
  if (ParseIpLiteral(dial_host, dial_port, &literal)) {
    addresses_.assign(1, literal);
    return DialNext();
  }
  state_ = State::kResolving;
  server_->Resolve(key_, dial_host, dial_port);
  return true;
}

RouteRequest Session::MakeRouteRequest(const char* network,
                                       const std::string& host,
                                       uint16_t port) const {
  RouteRequest request;
  request.inbound = server_->tag();
  request.inbound_type = server_->type();
  request.network = network;
  request.host = host;
  request.port = port;
  if (protocol_ == Protocol::kTranslated) {
    request.source_ip = translated_.source_ip;
    request.source_port = translated_.source_port;
    return request;
  }
  request.source_ip = FormatSockaddr(peer_);
  if (size_t colon = request.source_ip.rfind(':'); colon != std::string::npos) {
    request.source_port = static_cast<uint16_t>(std::stoi(request.source_ip.substr(colon + 1)));
    request.source_ip = request.source_ip.substr(0, colon);
    if (request.source_ip.size() > 1 && request.source_ip.front() == '[') {
      request.source_ip = request.source_ip.substr(1, request.source_ip.size() - 2);
    }
  }
  return request;
}

bool Session::OnResolved(MixedResolver::Result result) {
  if (state_ != State::kResolving) {
    return true;
  }
  if (!result.error.empty()) {
    first_error_ = result.error;
    first_errno_ = EHOSTUNREACH;
    return DialFailed();
  }
  addresses_ = std::move(result.addresses);
  return DialNext();
}

bool Session::Fail(const std::string& reply) {
  if (protocol_ == Protocol::kTranslated) {
    return Abort();  // a translated flow learns of a failure the way a direct one would
  }
  state_ = State::kFailing;
  DropUpstream();
  to_upstream_.Clear();
  to_client_.Append(reply);
  server_->SetDeadline(key_, &deadline_, Clock::now() + kFailLinger);
  return Failing();
}

bool Session::Failing() {
  bool progress = false;
  if (!Flush(&client_, &to_client_, &progress)) {
    return false;
  }
  if (!to_client_.empty()) {
    return true;
  }
  if (!client_.write_shut) {
    shutdown(client_.fd.get(), SHUT_WR);
    client_.write_shut = true;
  }
  // Closing with unread input would reset the connection and could destroy the reply before
  // the client reads it, so the input is drained until the client closes.
  while (client_.readable) {
    to_upstream_.Clear();
    ssize_t count = recv(client_.fd.get(), to_upstream_.RoomData(), to_upstream_.Room(), 0);
    if (count == 0) {
      return false;
    }
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        client_.readable = false;
      } else if (errno != EINTR) {
        return false;
      }
    }
  }
  return true;
}

bool Session::OnDeadline() {
  deadline_.reset();
  if (state_ == State::kConnecting) {
    if (first_error_.empty()) {
      first_error_ = "dial tcp " + dialing_ + ": i/o timeout";
      first_errno_ = ETIMEDOUT;
    }
    DropUpstream();
    return DialNext();
  }
  if (state_ == State::kProxyHandshake) {
    return OutboundFailed("handshake with " + dialing_ + ": i/o timeout", ETIMEDOUT,
                          kSocks5HostUnreachable);
  }
  if (state_ == State::kUdpAssociate) {
    return UdpTick();
  }
  if (state_ == State::kRelay && resetting_ != nullptr) {
    return PassOnReset();
  }
  if (state_ == State::kRelay && awaiting_answer_) {
    const auto seconds = std::chrono::duration<double>(plan_.leaf.first_answer_timeout).count();
    char text[64];
    std::snprintf(text, sizeof(text), "no answer within %gs", seconds);
    return NoAnswer(text);
  }
  // A refused client that never closed.
  return state_ != State::kFailing;
}

}  // namespace mixed
}  // namespace box
