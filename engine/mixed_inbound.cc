#include "engine/mixed_inbound.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_address.h"
#include "engine/mixed_fd.h"
#include "engine/mixed_server.h"

namespace box {

struct MixedInbound::Impl {
  std::unique_ptr<mixed::MixedServer> server;
  int port = 0;
};

namespace {

// Binds and listens; returns an invalid descriptor and the engine's error text on failure.
UniqueFd Listen(const MixedInboundOptions& options,
                std::string* address_text,
                int* bound_port,
                std::string* error) {
  const std::string& host = options.listen.empty() ? std::string("127.0.0.1") : options.listen;
  uint16_t port = static_cast<uint16_t>(options.listen_port);
  sockaddr_storage address;
  bool literal = mixed::ParseIpLiteral(host, port, &address);
  std::string requested = mixed::FormatHostPort(host, port);
  // An IPv4 wildcard listens on IPv4 only, and the error names the network so.
  const char* network = host == "0.0.0.0" ? "tcp4" : "tcp";
  std::string prefix = std::string("listen ") + network + " " + requested + ": ";
  if (options.listen_port < 0 || options.listen_port > 65535) {
    *error = std::string("listen ") + network + " " + host + ":" +
             std::to_string(options.listen_port) + ": invalid port";
    return UniqueFd();
  }
  if (!literal) {
    *error = "ParseAddr(\"" + host + "\"): unable to parse IP";
    return UniqueFd();
  }
  UniqueFd fd(socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *error = prefix + "socket: " + mixed::ErrnoText(errno);
    return UniqueFd();
  }
  int one = 1;
  // Restarting the service must not wait for the previous run's connections in TIME_WAIT.
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (address.ss_family == AF_INET6) {
    // "::" takes IPv4 clients too.
    int zero = 0;
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
  }
  if (options.translation) {
    // The TUN's listener: the kernel finishes setting up a new IPv6 address on the interface
    // asynchronously after the link comes up, and translated flows only arrive after that.
    setsockopt(fd.get(), IPPROTO_IP, IP_FREEBIND, &one, sizeof(one));
  }
  socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    *error = prefix + "bind: " + mixed::ErrnoText(errno);
    return UniqueFd();
  }
  if (listen(fd.get(), SOMAXCONN) != 0) {
    *error = prefix + "listen: " + mixed::ErrnoText(errno);
    return UniqueFd();
  }
  sockaddr_storage bound;
  length = sizeof(bound);
  if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    *error = prefix + "getsockname: " + mixed::ErrnoText(errno);
    return UniqueFd();
  }
  *bound_port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  *address_text = mixed::FormatHostPort(host, static_cast<uint16_t>(*bound_port));
  return fd;
}

}  // namespace

MixedInbound::MixedInbound(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MixedInbound::~MixedInbound() {
  Stop();
}

std::unique_ptr<MixedInbound> MixedInbound::Create(const MixedInboundOptions& options,
                                                   LogFn log,
                                                   RouteFn route,
                                                   std::string* error) {
  std::string address_text;
  int bound_port = 0;
  std::string failure;
  UniqueFd listener = Listen(options, &address_text, &bound_port, &failure);
  if (!listener.valid()) {
    if (error != nullptr) {
      *error = failure;
    }
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->port = bound_port;
  impl->server =
      std::make_unique<mixed::MixedServer>(options.tag, std::move(listener), address_text,
                                           options.users, std::move(log), std::move(route));
  impl->server->SetTranslation(options.translation, options.dns_handoff, options.type);
  return std::unique_ptr<MixedInbound>(new MixedInbound(std::move(impl)));
}

bool MixedInbound::Start(std::string* error) {
  std::string failure;
  if (!impl_->server->Start(&failure)) {
    if (error != nullptr) {
      *error = failure;
    }
    return false;
  }
  return true;
}

void MixedInbound::Stop() {
  impl_->server->Stop();
}

int MixedInbound::port() const {
  return impl_->port;
}

}  // namespace box
