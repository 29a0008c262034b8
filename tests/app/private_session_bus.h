#ifndef TESTS_APP_PRIVATE_SESSION_BUS_H_
#define TESTS_APP_PRIVATE_SESSION_BUS_H_

#include <gio/gio.h>
#include <sys/types.h>

#include <string>

namespace korvane_test {

// A session bus of the test's own (a real dbus-daemon listening in |dir|), on which the test
// can take names: for example the tray watcher's, so that a host started on this bus finds a
// tray. Everything is stopped by the destructor. Not thread-safe.
class PrivateSessionBus {
 public:
  PrivateSessionBus() = default;
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Starts the daemon with its socket in |dir| and connects to it; false with *error on failure.
  bool Start(const std::string& dir, std::string* error);
  // Takes |name| on the bus (held until the destructor); false with *error on failure.
  bool OwnName(const std::string& name, std::string* error);

  // For DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t daemon_pid_ = -1;
  GDBusConnection* connection_ = nullptr;
};

}  // namespace korvane_test

#endif  // TESTS_APP_PRIVATE_SESSION_BUS_H_
