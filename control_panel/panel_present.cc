#include "control_panel/panel_present.h"

#include <errno.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kSuffix[] = ".present";
constexpr char kRequest[] = "present\n";
constexpr char kAnswer[] = "presented\n";
// A request is one short line from a process of ours; a peer that stalls is not waited on long.
constexpr int kServeTimeoutMs = 1000;
// The running host answers from its main loop, which may be busy for a moment (connecting).
constexpr int kAskTimeoutMs = 10000;

bool FillAddress(const std::string& path, struct sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) {
    return false;
  }
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void SetTimeouts(int fd, int timeout_ms) {
  struct timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

bool PeerIsUs(int fd) {
  struct ucred credentials = {};
  socklen_t size = sizeof(credentials);
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == getuid();
}

bool WriteAll(int fd, const char* text) {
  size_t done = 0;
  const size_t length = strlen(text);
  while (done < length) {
    ssize_t n = send(fd, text + done, length - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until @expected is complete, a mismatch shows, or the peer stops.
bool ReadExactly(int fd, const char* expected) {
  const size_t length = strlen(expected);
  std::string got;
  char buffer[32];
  while (got.size() < length) {
    ssize_t n = recv(fd, buffer, std::min(sizeof(buffer), length - got.size()), 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    got.append(buffer, static_cast<size_t>(n));
    if (got.compare(0, got.size(), expected, got.size()) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string PanelPresentPath(const std::string& bridge_path) {
  return bridge_path + kSuffix;
}

PanelPresentServer::PanelPresentServer(const std::string& bridge_path,
                                       std::function<void()> present)
    : path_(PanelPresentPath(bridge_path)), present_(std::move(present)) {
  struct sockaddr_un address;
  if (!FillAddress(path_, &address)) {
    g_printerr("[Panel] not answering second launches: socket path too long: %s\n", path_.c_str());
    return;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    g_printerr("[Panel] not answering second launches: socket: %s\n", g_strerror(errno));
    return;
  }
  unlink(path_.c_str());
  struct stat info;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(path_.c_str(), 0600) != 0 || listen(fd, 4) != 0 || lstat(path_.c_str(), &info) != 0) {
    g_printerr("[Panel] not answering second launches: cannot listen on %s: %s\n", path_.c_str(),
               g_strerror(errno));
    close(fd);
    return;
  }
  fd_ = fd;
  inode_ = info.st_ino;
  source_ = g_unix_fd_add(fd_, G_IO_IN, AcceptCb, this);
}

PanelPresentServer::~PanelPresentServer() {
  g_clear_handle_id(&source_, g_source_remove);
  if (fd_ >= 0) {
    close(fd_);
    // Unless a later host has put its own there meanwhile.
    struct stat info;
    if (lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_ino == inode_) {
      unlink(path_.c_str());
    }
  }
}

gboolean PanelPresentServer::AcceptCb(gint fd, GIOCondition, gpointer user_data) {
  PanelPresentServer* self = static_cast<PanelPresentServer*>(user_data);
  for (;;) {
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) {
        continue;
      }
      return G_SOURCE_CONTINUE;
    }
    self->Serve(client);
    close(client);
  }
}

void PanelPresentServer::Serve(int client) {
  if (!PeerIsUs(client)) {
    g_printerr("[Panel] refused a present request from another user\n");
    return;
  }
  SetTimeouts(client, kServeTimeoutMs);
  if (!ReadExactly(client, kRequest)) {
    return;
  }
  present_();
  WriteAll(client, kAnswer);
}

bool PanelAskRunningHostToPresent(const std::string& bridge_path) {
  struct sockaddr_un address;
  if (!FillAddress(PanelPresentPath(bridge_path), &address)) {
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  SetTimeouts(fd, kAskTimeoutMs);
  const bool presented =
      connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0 &&
      PeerIsUs(fd) && WriteAll(fd, kRequest) && ReadExactly(fd, kAnswer);
  close(fd);
  return presented;
}
