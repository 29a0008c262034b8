#include "tests/app/tray_watcher.h"

#include <chrono>

namespace korvane_test {

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kWatcherInterface[] = "org.kde.StatusNotifierWatcher";
constexpr char kIntrospection[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    "<method name='RegisterStatusNotifierItem'><arg name='service' type='s' direction='in'/>"
    "</method>"
    "<method name='RegisterStatusNotifierHost'><arg name='service' type='s' direction='in'/>"
    "</method>"
    "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    "<property name='ProtocolVersion' type='i' access='read'/>"
    "<signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
    "<signal name='StatusNotifierItemUnregistered'><arg type='s'/></signal>"
    "<signal name='StatusNotifierHostRegistered'/>"
    "</interface></node>";
constexpr int kCallTimeoutMs = 20000;
// RequestName's flag and answer, as the message bus defines them.
constexpr guint32 kDoNotQueue = 4;
constexpr guint32 kPrimaryOwner = 1;

}  // namespace

TrayWatcher::~TrayWatcher() {
  if (thread_.joinable()) {
    g_main_context_invoke(
        context_,
        +[](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
  }
  g_clear_pointer(&loop_, g_main_loop_unref);
  g_clear_pointer(&context_, g_main_context_unref);
}

bool TrayWatcher::Start(const std::string& address, std::string* error) {
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  thread_ = std::thread(&TrayWatcher::Serve, this, address);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
  *error = start_error_;
  return start_error_.empty();
}

void TrayWatcher::Serve(std::string address) {
  g_main_context_push_thread_default(context_);
  std::string error_text;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  GDBusConnection* connection =
      node == nullptr
          ? nullptr
          : g_dbus_connection_new_for_address_sync(
                address.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
  guint registration = 0;
  if (connection != nullptr) {
    static const GDBusInterfaceVTable kVTable = {MethodCallCb, GetPropertyCb, nullptr, {}};
    registration = g_dbus_connection_register_object(connection, kWatcherPath, node->interfaces[0],
                                                     &kVTable, this, nullptr, &error);
  }
  if (registration != 0) {
    // The name last: an item that sees it finds the object there.
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", kWatcherName, kDoNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    guint32 answer = 0;
    if (reply != nullptr) {
      g_variant_get(reply, "(u)", &answer);
    }
    if (answer != kPrimaryOwner) {
      error_text = "cannot own " + std::string(kWatcherName) + ": " +
                   (error != nullptr ? error->message : std::to_string(answer));
    }
  } else {
    error_text = std::string("cannot serve the tray watcher: ") +
                 (error != nullptr ? error->message : "unknown error");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = connection;
    start_error_ = error_text;
    started_ = true;
  }
  changed_.notify_all();
  if (error_text.empty()) {
    g_main_loop_run(loop_);
  }
  if (connection != nullptr) {
    if (registration != 0) {
      g_dbus_connection_unregister_object(connection, registration);
    }
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
  }
  g_main_context_pop_thread_default(context_);
}

bool TrayWatcher::WaitForItem(int timeout_ms, Item* item) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [this] { return !items_.empty(); })) {
    return false;
  }
  *item = items_.front();
  return true;
}

void TrayWatcher::MethodCallCb(GDBusConnection* connection,
                               const gchar* sender,
                               const gchar*,
                               const gchar*,
                               const gchar* method,
                               GVariant* parameters,
                               GDBusMethodInvocation* invocation,
                               gpointer user_data) {
  TrayWatcher* self = static_cast<TrayWatcher*>(user_data);
  if (g_strcmp0(method, "RegisterStatusNotifierHost") == 0) {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  const gchar* service = nullptr;
  g_variant_get(parameters, "(&s)", &service);
  // An item names its object path (on the caller's connection) or a bus name whose item is at
  // the usual path.
  Item item = service[0] == '/' ? Item{sender, service} : Item{service, "/StatusNotifierItem"};
  g_dbus_method_invocation_return_value(invocation, nullptr);
  const std::string registered = item.bus_name + item.path;
  g_dbus_connection_emit_signal(connection, nullptr, kWatcherPath, kWatcherInterface,
                                "StatusNotifierItemRegistered",
                                g_variant_new("(s)", registered.c_str()), nullptr);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->items_.push_back(item);
  }
  self->changed_.notify_all();
}

GVariant* TrayWatcher::GetPropertyCb(GDBusConnection*,
                                     const gchar*,
                                     const gchar*,
                                     const gchar*,
                                     const gchar* property,
                                     GError** error,
                                     gpointer user_data) {
  TrayWatcher* self = static_cast<TrayWatcher*>(user_data);
  if (g_strcmp0(property, "IsStatusNotifierHostRegistered") == 0) {
    return g_variant_new_boolean(TRUE);
  }
  if (g_strcmp0(property, "ProtocolVersion") == 0) {
    return g_variant_new_int32(0);
  }
  if (g_strcmp0(property, "RegisteredStatusNotifierItems") == 0) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    std::lock_guard<std::mutex> lock(self->mutex_);
    for (const Item& item : self->items_) {
      g_variant_builder_add(&builder, "s", (item.bus_name + item.path).c_str());
    }
    return g_variant_builder_end(&builder);
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  return nullptr;
}

}  // namespace korvane_test
