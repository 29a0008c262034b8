#ifndef EMBEDDING_FL_UI_BRIDGE_H_
#define EMBEDDING_FL_UI_BRIDGE_H_

#include <glib-object.h>

#include "include-private/ui_bridge_frame.h"

G_BEGIN_DECLS

// The transport that stands in for the Flutter engine's platform-message pipe: a Unix stream
// socket watched from the GLib main context, serving one UI client at a time with length-
// prefixed frames:
//
//   u32le length N, then N bytes: u8 kind (1 message, 2 reply, 3 hello), u32le id,
//   [kind 1 only: u16le channel name length L, L bytes channel name], payload.
//
// The bridge knows frames, not codecs: payloads go to and come from its callbacks. Everything
// here is main thread only.
G_DECLARE_FINAL_TYPE(FlUiBridge, fl_ui_bridge, FL, UI_BRIDGE, GObject)

// Frame kinds (include-private/ui_bridge_frame.h).
enum {
  FL_UI_BRIDGE_KIND_MESSAGE = ui_bridge::kKindMessage,
  FL_UI_BRIDGE_KIND_REPLY = ui_bridge::kKindReply,
  FL_UI_BRIDGE_KIND_HELLO = ui_bridge::kKindHello,
};

// Frames (and so payloads) larger than this close the connection.
#define FL_UI_BRIDGE_MAX_FRAME (ui_bridge::kMaxFrame)

// What the bridge reports to its owner. A connection is named by a serial number (never 0) so
// that an answer meant for a connection that has gone can be recognised and dropped.
typedef struct {
  // Returns: (transfer full): the payload of the hello frame for a new connection.
  GBytes* (*build_hello)(FlUiBridge* bridge, gpointer user_data);
  // A message from the UI. The owner answers it with fl_ui_bridge_send_reply exactly once
  // (or closes the connection).
  void (*on_message)(FlUiBridge* bridge,
                     guint64 connection,
                     guint32 id,
                     const gchar* channel,
                     GBytes* payload,
                     gpointer user_data);
  // The UI's reply to a message sent with fl_ui_bridge_send_message.
  void (*on_reply)(FlUiBridge* bridge,
                   guint64 connection,
                   guint32 id,
                   GBytes* payload,
                   gpointer user_data);
  // A client connected (@connected TRUE) or the connection @connection ended.
  void (*on_client_changed)(FlUiBridge* bridge,
                            guint64 connection,
                            gboolean connected,
                            gpointer user_data);
} FlUiBridgeCallbacks;

// Returns: (transfer full): the socket path: KORVANE_UI_SOCKET when set and non-empty, else
// $XDG_RUNTIME_DIR/korvane/ui.sock when XDG_RUNTIME_DIR is set and non-empty, else
// /tmp/korvane-<real uid>/ui.sock.
gchar* fl_ui_bridge_default_socket_path();

// Returns: (transfer full): a bridge reporting to @callbacks (copied) with @user_data.
FlUiBridge* fl_ui_bridge_new(const FlUiBridgeCallbacks* callbacks, gpointer user_data);

// Creates the socket directory (0700, must be owned by the real uid and not writable by
// others), replaces a stale socket (one nobody answers on), binds @path with mode 0600 and
// starts accepting. A socket another running instance serves is left alone: that fails.
gboolean fl_ui_bridge_start(FlUiBridge* bridge, const gchar* path, GError** error);

// Closes the client and the listening socket and removes the socket file. Idempotent.
void fl_ui_bridge_stop(FlUiBridge* bridge);

// Returns: (transfer none): the socket path while listening, else NULL.
const gchar* fl_ui_bridge_get_socket_path(FlUiBridge* bridge);

// Returns: the current connection's serial number, 0 when no client is connected.
guint64 fl_ui_bridge_get_connection(FlUiBridge* bridge);

// Queues a message for the client and sets @id to its frame id. Returns FALSE when no client
// is connected. Never blocks: what the socket does not take at once is sent from the main
// loop.
gboolean fl_ui_bridge_send_message(FlUiBridge* bridge,
                                   const gchar* channel,
                                   GBytes* payload,
                                   guint32* id);

// Queues the reply to message @id of @connection (@payload may be NULL: empty). A reply for a
// connection that has gone is dropped silently.
void fl_ui_bridge_send_reply(FlUiBridge* bridge, guint64 connection, guint32 id, GBytes* payload);

// Closes the current connection after writing one diagnostic line with @reason on stderr.
void fl_ui_bridge_close_client(FlUiBridge* bridge, const gchar* reason);

G_END_DECLS

#endif  // EMBEDDING_FL_UI_BRIDGE_H_
