#ifndef TESTS_APP_TRAY_WATCHER_H_
#define TESTS_APP_TRAY_WATCHER_H_

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane_test {

// A tray of the test's own on a session bus: it owns org.kde.StatusNotifierWatcher and takes
// item registrations as a desktop's tray does (RegisterStatusNotifierItem, the
// StatusNotifierItemRegistered signal, the RegisteredStatusNotifierItems and
// IsStatusNotifierHostRegistered properties). Its bus connection is served from a thread of its
// own, so the test can wait and call freely; the accessors are thread-safe.
class TrayWatcher {
 public:
  // A registered item: the bus name it is on and its object path.
  struct Item {
    std::string bus_name;
    std::string path;
  };

  TrayWatcher() = default;
  ~TrayWatcher();
  TrayWatcher(const TrayWatcher&) = delete;
  TrayWatcher& operator=(const TrayWatcher&) = delete;

  // Connects to the bus at |address| and takes the watcher's name; false with *error on failure.
  bool Start(const std::string& address, std::string* error);
  // Waits for the first registered item; false when none registers within |timeout_ms|.
  bool WaitForItem(int timeout_ms, Item* item);
  // The connection the watcher serves (for the test's own calls; any thread).
  GDBusConnection* connection() const { return connection_; }

 private:
  void Serve(std::string address);
  static void MethodCallCb(GDBusConnection* connection,
                           const gchar* sender,
                           const gchar* path,
                           const gchar* interface,
                           const gchar* method,
                           GVariant* parameters,
                           GDBusMethodInvocation* invocation,
                           gpointer user_data);
  static GVariant* GetPropertyCb(GDBusConnection* connection,
                                 const gchar* sender,
                                 const gchar* path,
                                 const gchar* interface,
                                 const gchar* property,
                                 GError** error,
                                 gpointer user_data);

  std::thread thread_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  std::string start_error_;
  std::vector<Item> items_;
};

}  // namespace korvane_test

#endif  // TESTS_APP_TRAY_WATCHER_H_
