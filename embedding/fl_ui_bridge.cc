#include "fl_ui_bridge.h"

#include <errno.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "include-private/ui_bridge_frame.h"

namespace {

// Diagnostic lines of the bridge start with this tag.
constexpr char kTag[] = "[UI bridge]";

// Reads per wake-up are bounded so a flooding client cannot starve the rest of the main loop.
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kMaxReadsPerWakeup = 16;

using ui_bridge::kLengthSize;

}  // namespace

struct _FlUiBridge {
  GObject parent_instance;

  // Owner's callbacks and their data.
  FlUiBridgeCallbacks callbacks;
  gpointer user_data;

  // Socket path while listening, with the inode bound there (so stop removes only our own).
  gchar* path;
  ino_t path_inode;
  int listen_fd;
  guint listen_source;

  // The current client, if any.
  int client_fd;
  guint64 connection;
  guint64 last_connection;
  guint read_source;
  guint write_source;
  std::string* in;
  std::string* out;
  // How much of |out| has been written already (compacted now and then, not per write).
  size_t out_offset;
  // Next id of a message frame sent to the UI.
  guint32 next_id;
};

G_DEFINE_TYPE(FlUiBridge, fl_ui_bridge, G_TYPE_OBJECT)

static gboolean client_read_cb(gint fd, GIOCondition condition, gpointer user_data);
static gboolean client_write_cb(gint fd, GIOCondition condition, gpointer user_data);

// Ends the current connection (if any) and tells the owner.
static void disconnect_client(FlUiBridge* self) {
  if (self->client_fd < 0) {
    return;
  }
  g_clear_handle_id(&self->read_source, g_source_remove);
  g_clear_handle_id(&self->write_source, g_source_remove);
  close(self->client_fd);
  self->client_fd = -1;
  self->in->clear();
  self->out->clear();
  self->out_offset = 0;
  guint64 connection = self->connection;
  self->connection = 0;
  if (self->callbacks.on_client_changed != nullptr) {
    self->callbacks.on_client_changed(self, connection, FALSE, self->user_data);
  }
}

// Writes as much of the output buffer as the socket takes now; the rest waits for G_IO_OUT.
static void flush_output(FlUiBridge* self) {
  while (self->client_fd >= 0 && self->out_offset < self->out->size()) {
    ssize_t n = send(self->client_fd, self->out->data() + self->out_offset,
                     self->out->size() - self->out_offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      self->out_offset += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    // The peer is gone; let the read side notice and end the connection from the main loop,
    // so that owners are never re-entered from inside their own send.
    shutdown(self->client_fd, SHUT_RDWR);
    self->out_offset = self->out->size();
    break;
  }
  if (self->out_offset == self->out->size()) {
    self->out->clear();
    self->out_offset = 0;
  } else if (self->out_offset > kReadChunk && self->out_offset > self->out->size() / 2) {
    self->out->erase(0, self->out_offset);
    self->out_offset = 0;
  }
  bool pending = self->client_fd >= 0 && !self->out->empty();
  if (pending && self->write_source == 0) {
    self->write_source = g_unix_fd_add(self->client_fd, G_IO_OUT, client_write_cb, self);
  } else if (!pending && self->write_source != 0) {
    g_clear_handle_id(&self->write_source, g_source_remove);
  }
}

static void queue_frame(FlUiBridge* self,
                        guint8 kind,
                        guint32 id,
                        const gchar* channel,
                        GBytes* payload) {
  gsize payload_size = 0;
  const char* payload_data =
      payload != nullptr ? static_cast<const char*>(g_bytes_get_data(payload, &payload_size))
                         : nullptr;
  size_t channel_length = channel != nullptr ? strlen(channel) : 0;
  std::string frame =
      ui_bridge::EncodeFrame(kind, id, channel, channel_length, payload_data, payload_size);
  self->out->append(frame);
  flush_output(self);
}

static gboolean client_write_cb(gint fd, GIOCondition condition, gpointer user_data) {
  FlUiBridge* self = FL_UI_BRIDGE(user_data);
  (void)fd;
  (void)condition;
  self->write_source = 0;
  flush_output(self);
  // flush_output added a fresh watch if something is still pending.
  return G_SOURCE_REMOVE;
}

// Handles one complete frame body. Returns FALSE when it closed the connection.
static gboolean handle_frame(FlUiBridge* self, const guint8* body, uint32_t length) {
  ui_bridge::FrameView frame;
  const ui_bridge::BodyStatus status = ui_bridge::DecodeBody(body, length, &frame);
  if (status == ui_bridge::BodyStatus::kShort) {
    g_autofree gchar* reason = g_strdup_printf("short frame (%u bytes)", length);
    fl_ui_bridge_close_client(self, reason);
    return FALSE;
  }
  guint64 connection = self->connection;
  if (frame.kind == FL_UI_BRIDGE_KIND_REPLY) {
    g_autoptr(GBytes) payload = g_bytes_new(frame.payload, frame.payload_length);
    if (self->callbacks.on_reply != nullptr) {
      self->callbacks.on_reply(self, connection, frame.id, payload, self->user_data);
    }
    return self->connection == connection;
  }
  if (frame.kind != FL_UI_BRIDGE_KIND_MESSAGE) {
    g_autofree gchar* reason = g_strdup_printf("unknown frame kind %u", frame.kind);
    fl_ui_bridge_close_client(self, reason);
    return FALSE;
  }
  if (status == ui_bridge::BodyStatus::kShortMessage) {
    g_autofree gchar* reason = g_strdup_printf("short message frame (%u bytes)", length);
    fl_ui_bridge_close_client(self, reason);
    return FALSE;
  }
  if (status == ui_bridge::BodyStatus::kTruncatedChannel) {
    g_autofree gchar* reason = g_strdup_printf(
        "truncated channel name (%zu bytes announced, %zu present)", frame.channel_length,
        static_cast<size_t>(length - ui_bridge::kMessageHeaderSize));
    fl_ui_bridge_close_client(self, reason);
    return FALSE;
  }
  const gchar* name = frame.channel;
  if (memchr(name, '\0', frame.channel_length) != nullptr ||
      !g_utf8_validate(name, static_cast<gssize>(frame.channel_length), nullptr)) {
    fl_ui_bridge_close_client(self, "channel name is not UTF-8 text");
    return FALSE;
  }
  g_autofree gchar* channel = g_strndup(name, frame.channel_length);
  g_autoptr(GBytes) payload = g_bytes_new(frame.payload, frame.payload_length);
  if (self->callbacks.on_message != nullptr) {
    self->callbacks.on_message(self, connection, frame.id, channel, payload, self->user_data);
  } else {
    fl_ui_bridge_send_reply(self, connection, frame.id, nullptr);
  }
  return self->connection == connection;
}

// Takes every complete frame out of the input buffer.
static void process_input(FlUiBridge* self) {
  size_t offset = 0;
  guint64 connection = self->connection;
  while (self->connection == connection && self->in->size() - offset >= kLengthSize) {
    const guint8* data = reinterpret_cast<const guint8*>(self->in->data()) + offset;
    uint32_t length = ui_bridge::ReadLe32(data);
    if (length > FL_UI_BRIDGE_MAX_FRAME) {
      g_autofree gchar* reason = g_strdup_printf("frame of %u bytes exceeds the %u byte limit",
                                                 length, FL_UI_BRIDGE_MAX_FRAME);
      fl_ui_bridge_close_client(self, reason);
      return;
    }
    if (self->in->size() - offset - kLengthSize < length) {
      break;
    }
    // The handler may end the connection (which clears the buffer), so work on a copy.
    std::string body(self->in->data() + offset + kLengthSize, length);
    offset += kLengthSize + length;
    if (!handle_frame(self, reinterpret_cast<const guint8*>(body.data()), length)) {
      return;
    }
  }
  if (self->connection == connection) {
    self->in->erase(0, offset);
  }
}

// What one round of reading left behind.
enum class ReadResult { kMore, kDrained, kGone };

// Reads what the client has sent (a bounded amount) and handles every complete frame.
static ReadResult read_client(FlUiBridge* self) {
  g_autoptr(FlUiBridge) keep = FL_UI_BRIDGE(g_object_ref(self));
  char buffer[kReadChunk];
  for (int i = 0; i < kMaxReadsPerWakeup; i++) {
    ssize_t n = recv(self->client_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      self->in->append(buffer, static_cast<size_t>(n));
      guint64 connection = self->connection;
      process_input(self);
      if (self->connection != connection) {
        // Closed while handling; disconnect_client removed the read source.
        return ReadResult::kGone;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return ReadResult::kDrained;
    }
    // End of stream or a socket error: the client went away.
    disconnect_client(self);
    return ReadResult::kGone;
  }
  return ReadResult::kMore;
}

static gboolean client_read_cb(gint fd, GIOCondition condition, gpointer user_data) {
  (void)fd;
  (void)condition;
  return read_client(FL_UI_BRIDGE(user_data)) == ReadResult::kGone ? G_SOURCE_REMOVE
                                                                   : G_SOURCE_CONTINUE;
}

// A client that has hung up may still be waiting in the main loop to be let go. Finish with it
// now, so that a script's next connection is not refused because of the one before.
static void finish_hung_up_client(FlUiBridge* self) {
  while (self->client_fd >= 0) {
    struct pollfd descriptor = {self->client_fd, POLLIN | POLLRDHUP, 0};
    if (poll(&descriptor, 1, 0) <= 0 ||
        (descriptor.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
      return;
    }
    if (read_client(self) == ReadResult::kDrained) {
      return;
    }
  }
}

static gboolean accept_cb(gint fd, GIOCondition condition, gpointer user_data) {
  FlUiBridge* self = FL_UI_BRIDGE(user_data);
  (void)condition;
  g_autoptr(FlUiBridge) keep = FL_UI_BRIDGE(g_object_ref(self));
  for (;;) {
    if (self->listen_fd != fd) {
      // Stopped from one of the owner's callbacks.
      return G_SOURCE_REMOVE;
    }
    int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        g_printerr("%s accept on %s failed: %s\n", kTag, self->path, g_strerror(errno));
      }
      return G_SOURCE_CONTINUE;
    }
    struct ucred credentials = {};
    socklen_t size = sizeof(credentials);
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
      g_printerr("%s refused a client: cannot read its credentials: %s\n", kTag, g_strerror(errno));
      close(client);
      continue;
    }
    if (credentials.uid != getuid()) {
      g_printerr("%s refused a client of uid %u (pid %d): only uid %u may connect\n", kTag,
                 static_cast<unsigned>(credentials.uid), static_cast<int>(credentials.pid),
                 static_cast<unsigned>(getuid()));
      close(client);
      continue;
    }
    finish_hung_up_client(self);
    if (self->client_fd >= 0) {
      g_printerr("%s refused a second client (pid %d): one UI at a time\n", kTag,
                 static_cast<int>(credentials.pid));
      close(client);
      continue;
    }
    self->client_fd = client;
    self->connection = ++self->last_connection;
    self->read_source = g_unix_fd_add(client, G_IO_IN, client_read_cb, self);
    g_autoptr(GBytes) hello = self->callbacks.build_hello != nullptr
                                  ? self->callbacks.build_hello(self, self->user_data)
                                  : nullptr;
    queue_frame(self, FL_UI_BRIDGE_KIND_HELLO, 0, nullptr, hello);
    if (self->callbacks.on_client_changed != nullptr) {
      self->callbacks.on_client_changed(self, self->connection, TRUE, self->user_data);
    }
  }
}

// Makes sure the socket's directory exists, is ours and cannot be written by others.
static gboolean prepare_directory(const gchar* path, GError** error) {
  g_autofree gchar* directory = g_path_get_dirname(path);
  if (g_mkdir_with_parents(directory, 0700) != 0) {
    int saved = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(saved),
                "cannot create socket directory %s: %s", directory, g_strerror(saved));
    return FALSE;
  }
  struct stat info;
  if (lstat(directory, &info) != 0) {
    int saved = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(saved), "cannot inspect %s: %s", directory,
                g_strerror(saved));
    return FALSE;
  }
  if (!S_ISDIR(info.st_mode)) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_DIRECTORY,
                "socket directory %s is not a directory", directory);
    return FALSE;
  }
  if (info.st_uid != getuid()) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED,
                "socket directory %s is owned by uid %u, not by uid %u", directory,
                static_cast<unsigned>(info.st_uid), static_cast<unsigned>(getuid()));
    return FALSE;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED,
                "socket directory %s is writable by others (mode %04o)", directory,
                static_cast<unsigned>(info.st_mode & 07777));
    return FALSE;
  }
  return TRUE;
}

// Whether a listener answers on @address. Only a refused connection counts as nobody: a
// listener too busy to take the probe at once is still alive.
static bool socket_is_served(const struct sockaddr_un& address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    return false;
  }
  int result;
  do {
    result = connect(probe, reinterpret_cast<const struct sockaddr*>(&address), sizeof(address));
  } while (result != 0 && errno == EINTR);
  const bool served = result == 0 || (errno != ECONNREFUSED && errno != ENOENT);
  close(probe);
  return served;
}

static void fl_ui_bridge_dispose(GObject* object) {
  fl_ui_bridge_stop(FL_UI_BRIDGE(object));
  G_OBJECT_CLASS(fl_ui_bridge_parent_class)->dispose(object);
}

static void fl_ui_bridge_finalize(GObject* object) {
  FlUiBridge* self = FL_UI_BRIDGE(object);
  delete self->in;
  delete self->out;
  G_OBJECT_CLASS(fl_ui_bridge_parent_class)->finalize(object);
}

static void fl_ui_bridge_class_init(FlUiBridgeClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_ui_bridge_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_ui_bridge_finalize;
}

static void fl_ui_bridge_init(FlUiBridge* self) {
  self->listen_fd = -1;
  self->client_fd = -1;
  self->in = new std::string();
  self->out = new std::string();
  self->next_id = 1;
}

gchar* fl_ui_bridge_default_socket_path() {
  const gchar* explicit_path = g_getenv("KORVANE_UI_SOCKET");
  if (explicit_path != nullptr && explicit_path[0] != '\0') {
    return g_strdup(explicit_path);
  }
  const gchar* runtime_dir = g_getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') {
    return g_build_filename(runtime_dir, "korvane", "ui.sock", nullptr);
  }
  return g_strdup_printf("/tmp/korvane-%u/ui.sock", static_cast<unsigned>(getuid()));
}

FlUiBridge* fl_ui_bridge_new(const FlUiBridgeCallbacks* callbacks, gpointer user_data) {
  FlUiBridge* self = FL_UI_BRIDGE(g_object_new(fl_ui_bridge_get_type(), nullptr));
  self->callbacks = *callbacks;
  self->user_data = user_data;
  return self;
}

gboolean fl_ui_bridge_start(FlUiBridge* self, const gchar* path, GError** error) {
  g_return_val_if_fail(FL_IS_UI_BRIDGE(self), FALSE);
  g_return_val_if_fail(path != nullptr, FALSE);
  g_return_val_if_fail(self->listen_fd < 0, FALSE);

  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(address.sun_path)) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_FILENAME_TOO_LONG, "socket path too long: %s", path);
    return FALSE;
  }
  strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
  if (!prepare_directory(path, error)) {
    return FALSE;
  }

  struct stat info;
  if (lstat(path, &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_EXISTS, "%s exists and is not a socket", path);
      return FALSE;
    }
    // A socket another running instance serves stays its own: taking it over would leave
    // that instance unreachable. One nobody answers on was left by an earlier run.
    if (socket_is_served(address)) {
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_ADDRESS_IN_USE,
                  "%s is served by another running instance; not taking it over", path);
      return FALSE;
    }
    unlink(path);
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int saved = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(saved), "socket: %s", g_strerror(saved));
    return FALSE;
  }
  // Bound and listening under a temporary name first, then renamed into place: a client that
  // sees the socket file can connect at once (one bound under its own name refuses connections
  // until listen). The directory is private, so nobody reaches it before chmod.
  g_autofree gchar* bound = g_strdup_printf("%s.%d", path, static_cast<int>(getpid()));
  if (strlen(bound) >= sizeof(address.sun_path)) {
    g_free(bound);
    bound = g_strdup(path);
  }
  strncpy(address.sun_path, bound, sizeof(address.sun_path) - 1);
  unlink(bound);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0 ||
      chmod(bound, 0600) != 0 || listen(fd, 8) != 0 ||
      (strcmp(bound, path) != 0 && rename(bound, path) != 0) || lstat(path, &info) != 0) {
    int saved = errno;
    close(fd);
    unlink(bound);
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(saved), "cannot listen on %s: %s", path,
                g_strerror(saved));
    return FALSE;
  }
  self->listen_fd = fd;
  self->path = g_strdup(path);
  self->path_inode = info.st_ino;
  self->listen_source = g_unix_fd_add(fd, G_IO_IN, accept_cb, self);
  return TRUE;
}

void fl_ui_bridge_stop(FlUiBridge* self) {
  g_return_if_fail(FL_IS_UI_BRIDGE(self));
  disconnect_client(self);
  g_clear_handle_id(&self->listen_source, g_source_remove);
  if (self->listen_fd >= 0) {
    close(self->listen_fd);
    self->listen_fd = -1;
    // Remove the socket file unless another instance has replaced it meanwhile.
    struct stat info;
    if (lstat(self->path, &info) == 0 && S_ISSOCK(info.st_mode) &&
        info.st_ino == self->path_inode) {
      unlink(self->path);
    }
  }
  g_clear_pointer(&self->path, g_free);
}

const gchar* fl_ui_bridge_get_socket_path(FlUiBridge* self) {
  g_return_val_if_fail(FL_IS_UI_BRIDGE(self), nullptr);
  return self->path;
}

guint64 fl_ui_bridge_get_connection(FlUiBridge* self) {
  g_return_val_if_fail(FL_IS_UI_BRIDGE(self), 0);
  return self->connection;
}

gboolean fl_ui_bridge_send_message(FlUiBridge* self,
                                   const gchar* channel,
                                   GBytes* payload,
                                   guint32* id) {
  g_return_val_if_fail(FL_IS_UI_BRIDGE(self), FALSE);
  g_return_val_if_fail(channel != nullptr, FALSE);
  g_return_val_if_fail(strlen(channel) <= G_MAXUINT16, FALSE);
  if (self->client_fd < 0) {
    return FALSE;
  }
  guint32 frame_id = self->next_id++;
  if (self->next_id == 0) {
    self->next_id = 1;
  }
  queue_frame(self, FL_UI_BRIDGE_KIND_MESSAGE, frame_id, channel, payload);
  if (id != nullptr) {
    *id = frame_id;
  }
  return TRUE;
}

void fl_ui_bridge_send_reply(FlUiBridge* self, guint64 connection, guint32 id, GBytes* payload) {
  g_return_if_fail(FL_IS_UI_BRIDGE(self));
  if (connection == 0 || connection != self->connection) {
    return;
  }
  if (payload != nullptr &&
      g_bytes_get_size(payload) > FL_UI_BRIDGE_MAX_FRAME - ui_bridge::kHeaderSize) {
    // The UI would refuse the frame; an empty reply at least does not leave it waiting.
    g_printerr("%s reply %u of %" G_GSIZE_FORMAT " bytes exceeds the frame limit; sent empty\n",
               kTag, id, g_bytes_get_size(payload));
    payload = nullptr;
  }
  queue_frame(self, FL_UI_BRIDGE_KIND_REPLY, id, nullptr, payload);
}

void fl_ui_bridge_close_client(FlUiBridge* self, const gchar* reason) {
  g_return_if_fail(FL_IS_UI_BRIDGE(self));
  if (self->client_fd < 0) {
    return;
  }
  g_printerr("%s closing the UI connection: %s\n", kTag, reason);
  disconnect_client(self);
}
