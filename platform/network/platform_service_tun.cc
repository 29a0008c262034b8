#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "base/log.h"
#include "base/logger.h"
#include "base/scoped_fd.h"
#include "platform/network/tun_interface.h"
#include "platform/platform_service.h"

using korvane::ScopedFd;

namespace {

constexpr korvane::Logger kLog(korvane::kNoTag);

constexpr char kTunDevice[] = "/dev/net/tun";
// A layer-3 device whose packets carry no 4-byte packet-information header.
constexpr short kTunDeviceFlags = IFF_TUN | IFF_NO_PI;
constexpr short kUpFlags = IFF_UP | IFF_RUNNING;
// The mark routing rules use to keep protected sockets out of the tunnel.
constexpr int kSocketMark = 0x1337;

static_assert(TUNSETIFF == 0x400454CA && TUNGETIFF == 0x800454D2, "TUN ioctls");
static_assert(kTunDeviceFlags == 0x1001 && kUpFlags == 0x41, "device and up flags");

// A zeroed request for the TUN device, carrying at most IFNAMSIZ - 1 characters of `name`.
struct ifreq TunRequest(const char* name) {
  struct ifreq request;
  memset(&request, 0, sizeof(request));
  request.ifr_flags = kTunDeviceFlags;
  if (name != nullptr && name[0] != '\0') {
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  }
  return request;
}

// Opens the device node. Close-on-exec, so a restarted instance does not keep the device alive.
int OpenTunNode() {
  return open(kTunDevice, O_RDWR | O_CLOEXEC);
}

// The name of the interface a request refers to (the kernel's, once TUNSETIFF has run).
std::string RequestName(const struct ifreq& request) {
  return std::string(request.ifr_name, strnlen(request.ifr_name, IFNAMSIZ));
}

// Host byte order: as many leading one bits as `prefix` (1 to 32).
uint32_t PrefixMask(int prefix) {
  return prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
}

}  // namespace

int PlatformService::OpenTun(const char* name, int mtu) {
  const bool named = name != nullptr && name[0] != '\0';
  const std::string given = named ? name : "";
  ScopedFd fd(OpenTunNode());
  if (fd.get() < 0) {
    int error = errno;
    kLog.Error() << std::string("Failed to open ") + kTunDevice + ": " + korvane::ErrnoText(error);
    return -1;
  }
  struct ifreq request = TunRequest(name);
  int result = ioctl(fd.get(), TUNSETIFF, &request);
  int error = result < 0 ? errno : 0;
  if (result < 0 && error == EBUSY && named) {
    // A stale interface of that name is held elsewhere: delete it and try once more.
    kLog.Error() << "TUN interface " + given + " busy, attempting cleanup";
    fd.reset();
    const int code = RunCommand("ip", {"ip", "link", "delete", RequestName(request)});
    if (code != 0) {
      kLog.Error() << "Failed to delete stale TUN interface " + given +
                          ", command exit code: " + std::to_string(code);
      return -1;
    }
    fd.reset(OpenTunNode());
    if (fd.get() < 0) {
      error = errno;
    } else {
      request = TunRequest(name);
      result = ioctl(fd.get(), TUNSETIFF, &request);
      error = result < 0 ? errno : 0;
    }
  }
  if (fd.get() < 0 || result < 0) {
    kLog.Error() << "Failed to configure TUN device: " + korvane::ErrnoText(error);
    return -1;
  }

  if (mtu > 0) {
    // A wrong MTU does not fail the open.
    ScopedFd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket_fd.get() >= 0) {
      request.ifr_mtu = mtu;
      if (ioctl(socket_fd.get(), SIOCSIFMTU, &request) < 0) {
        int mtu_error = errno;
        kLog.Error() << "Failed to set MTU: " + korvane::ErrnoText(mtu_error);
      }
    }
  }

  int flags = fcntl(fd.get(), F_GETFL);
  if (flags != -1) {
    fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
  }

  // A descriptor recorded earlier is overwritten, not closed: its owner closes it.
  tun_fd_ = fd.release();
  tun_interface_name_ = RequestName(request);
  kLog.Info() << "TUN device opened: " + tun_interface_name_ + " (fd=" + std::to_string(tun_fd_) +
                     ")";
  return tun_fd_;
}

bool PlatformService::ConfigureTun(int fd, const std::string& address, int prefix) {
  // An address the kernel would be handed as zeros, or a mask without meaning, is refused
  // before anything changes.
  struct in_addr parsed;
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 || prefix < 1 || prefix > 32) {
    kLog.Error() << "Invalid TUN address: " + address + "/" + std::to_string(prefix);
    return false;
  }

  struct ifreq request;
  memset(&request, 0, sizeof(request));
  if (ioctl(fd, TUNGETIFF, &request) < 0) {
    int error = errno;
    kLog.Error() << "Failed to get TUN interface name: " + korvane::ErrnoText(error);
    return false;
  }
  ScopedFd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket_fd.get() < 0) {
    return false;
  }

  // Each step keeps the name and overwrites the union.
  auto set_ipv4 = [&request](uint32_t network_order) {
    struct sockaddr_in ipv4;
    memset(&ipv4, 0, sizeof(ipv4));
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = network_order;
    memcpy(&request.ifr_addr, &ipv4, sizeof(ipv4));
  };
  auto fail = [](const char* what) {
    int error = errno;
    kLog.Error() << what + korvane::ErrnoText(error);
    return false;
  };

  set_ipv4(parsed.s_addr);
  if (ioctl(socket_fd.get(), SIOCSIFADDR, &request) < 0) {
    return fail("Failed to set IP address: ");
  }
  set_ipv4(htonl(PrefixMask(prefix)));
  if (ioctl(socket_fd.get(), SIOCSIFNETMASK, &request) < 0) {
    return fail("Failed to set netmask: ");
  }
  if (ioctl(socket_fd.get(), SIOCGIFFLAGS, &request) < 0) {
    return fail("Failed to get interface flags: ");
  }
  request.ifr_flags |= kUpFlags;
  if (ioctl(socket_fd.get(), SIOCSIFFLAGS, &request) < 0) {
    return fail("Failed to bring interface up: ");
  }
  return true;
}

bool PlatformService::SetupRoutes(int /*fd*/) {
  // The engine routes its own traffic; the host installs no routes.
  return true;
}

void PlatformService::CloseTun(int fd) {
  if (fd >= 0) {
    close(fd);
    if (fd == tun_fd_) {
      tun_fd_ = -1;
    }
  }
  if (tun_interface_name_.empty()) {
    return;
  }
  // Cleared before the command runs, so a second call does nothing more. The recorded name, not
  // `fd`, decides which interface goes.
  std::string name;
  name.swap(tun_interface_name_);
  if (RunCommand("ip", {"ip", "link", "delete", name}) == 0) {
    kLog.Info() << "TUN interface " + name + " deleted";
  } else {
    kLog.Error() << "Failed to delete TUN interface " + name + " (may already be gone)";
  }
}

int PlatformService::ProtectSocket(int fd) {
  const int mark = kSocketMark;
  if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
    int error = errno;
    kLog.Error() << "Failed to mark socket: " + korvane::ErrnoText(error);
    return -1;
  }
  return 0;
}

std::vector<std::string> PlatformService::ListNetworkInterfaces() {
  std::vector<std::string> names;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return names;
  }
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) {
      continue;
    }
    int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) {
      continue;
    }
    if (std::find(names.begin(), names.end(), entry->ifa_name) == names.end()) {
      names.emplace_back(entry->ifa_name);
    }
  }
  freeifaddrs(list);
  return names;
}

std::string PlatformService::GetInterfaces() {
  std::string joined;
  for (const std::string& name : ListNetworkInterfaces()) {
    if (!joined.empty()) {
      joined += ",";
    }
    joined += name;
  }
  return joined;
}

extern "C" int create_tun_interface(const char* name) {
  int fd = OpenTunNode();
  if (fd < 0) {
    int error = errno;
    kLog.Info() << "Failed to open " << kTunDevice << ": " << korvane::ErrnoText(error);
    return -1;
  }
  struct ifreq request = TunRequest(name);
  if (ioctl(fd, TUNSETIFF, &request) < 0) {
    int error = errno;
    close(fd);
    kLog.Info() << "Failed to create TUN interface: " << korvane::ErrnoText(error);
    return -1;
  }
  kLog.Info() << "Created TUN interface: " << RequestName(request) << " (fd=" << fd << ")";
  return fd;
}

extern "C" void close_tun_interface(int fd) {
  if (fd < 0) {
    return;
  }
  close(fd);
  kLog.Info() << "Closed TUN interface (fd=" << fd << ")";
}
