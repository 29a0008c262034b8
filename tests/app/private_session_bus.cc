#include "tests/app/private_session_bus.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace korvane_test {

namespace {

constexpr int kStartTimeoutMs = 20000;
// RequestName's flag and answer, as the message bus defines them.
constexpr guint32 kDoNotQueue = 4;
constexpr guint32 kPrimaryOwner = 1;

}  // namespace

PrivateSessionBus::~PrivateSessionBus() {
  if (connection_ != nullptr) {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_clear_object(&connection_);
  }
  if (daemon_pid_ > 0) {
    kill(daemon_pid_, SIGTERM);
    waitpid(daemon_pid_, nullptr, 0);
  }
}

bool PrivateSessionBus::Start(const std::string& dir, std::string* error) {
  const std::string socket = dir + "/session-bus";
  address_ = "unix:path=" + socket;
  const std::string listen = "--address=" + address_;
  const gchar* argv[] = {"dbus-daemon", "--session", "--nofork", listen.c_str(), nullptr};
  g_autoptr(GError) spawn_error = nullptr;
  GPid pid = 0;
  if (!g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                     nullptr, nullptr, &pid, &spawn_error)) {
    *error = std::string("cannot start dbus-daemon: ") + spawn_error->message;
    return false;
  }
  daemon_pid_ = pid;
  const gint64 deadline = g_get_monotonic_time() + kStartTimeoutMs * 1000LL;
  for (;;) {
    struct stat info;
    if (lstat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      g_autoptr(GError) connect_error = nullptr;
      connection_ = g_dbus_connection_new_for_address_sync(
          address_.c_str(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &connect_error);
      if (connection_ != nullptr) {
        return true;
      }
      *error = std::string("cannot connect to the private bus: ") + connect_error->message;
    } else {
      *error = "the private bus did not appear at " + socket;
    }
    if (g_get_monotonic_time() >= deadline || waitpid(daemon_pid_, nullptr, WNOHANG) != 0) {
      return false;
    }
    g_usleep(20 * 1000);
  }
}

bool PrivateSessionBus::OwnName(const std::string& name, std::string* error) {
  if (connection_ == nullptr) {
    *error = "no private bus";
    return false;
  }
  g_autoptr(GError) call_error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", name.c_str(), kDoNotQueue), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, kStartTimeoutMs, nullptr, &call_error);
  if (reply == nullptr) {
    *error = std::string("RequestName failed: ") + call_error->message;
    return false;
  }
  guint32 answer = 0;
  g_variant_get(reply, "(u)", &answer);
  if (answer != kPrimaryOwner) {
    *error = "RequestName answered " + std::to_string(answer);
    return false;
  }
  return true;
}

}  // namespace korvane_test
