#ifndef EMBEDDING_FL_BRIDGE_MESSENGER_H_
#define EMBEDDING_FL_BRIDGE_MESSENGER_H_

#include "flutter_linux/fl_binary_messenger.h"

G_BEGIN_DECLS

// The engine's FlBinaryMessenger, carried over the UI bridge (fl_ui_bridge.h) instead of the
// Flutter engine: messages from the UI client reach the channel handlers, and what the host
// sends goes to the client. It also keeps what FlView shows: the socket path, whether a client
// is connected and the last events sent to the UI.
//
// Emits "state-changed" (no arguments) when any of those change. Main thread only, except
// fl_binary_messenger_send_response, which may be called from any thread.
G_DECLARE_FINAL_TYPE(FlBridgeMessenger, fl_bridge_messenger, FL, BRIDGE_MESSENGER, GObject)

// How many recent events are kept for display.
#define FL_BRIDGE_MESSENGER_RECENT_EVENTS 8

// Returns: (transfer full): a messenger that is not listening yet.
FlBridgeMessenger* fl_bridge_messenger_new();

// Starts serving UI clients on @socket_path; the hello of each connection reports
// @entrypoint_args (copied, may be NULL).
gboolean fl_bridge_messenger_start(FlBridgeMessenger* messenger,
                                   const gchar* socket_path,
                                   gchar** entrypoint_args,
                                   GError** error);

// Returns: (transfer none): the socket path while listening, else NULL.
const gchar* fl_bridge_messenger_get_socket_path(FlBridgeMessenger* messenger);

// Returns: whether a UI client is connected.
gboolean fl_bridge_messenger_has_client(FlBridgeMessenger* messenger);

// Returns: (transfer none): the last events sent to the UI as text ("channel: event"), oldest
// first.
GPtrArray* fl_bridge_messenger_get_recent_events(FlBridgeMessenger* messenger);

G_END_DECLS

#endif  // EMBEDDING_FL_BRIDGE_MESSENGER_H_
