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

// The Dart side for a UI drawn in-process (the control panel) while no bridge client is
// attached. What it sends reaches the channel handlers at the same point as a client's
// messages; what the host sends while no client is attached goes to its handlers, delivered
// from the main loop in the order sent (never from inside the host's own send). Main thread
// only.

// Handles a message from the host to the in-process UI. Returns: (transfer full) the reply
// payload, or NULL for an empty reply.
typedef GBytes* (*FlBridgeMessengerUiHandler)(FlBridgeMessenger* messenger,
                                              const gchar* channel,
                                              GBytes* message,
                                              gpointer user_data);

// Sets (or with NULL removes) the in-process UI's handler for @channel.
void fl_bridge_messenger_set_ui_handler(FlBridgeMessenger* messenger,
                                        const gchar* channel,
                                        FlBridgeMessengerUiHandler handler,
                                        gpointer user_data,
                                        GDestroyNotify destroy_notify);

// Sends a platform message from the in-process UI on @channel; @callback gets the host's reply
// (read it with fl_bridge_messenger_send_from_ui_finish) from the main loop, never before this
// returns.
void fl_bridge_messenger_send_from_ui(FlBridgeMessenger* messenger,
                                      const gchar* channel,
                                      GBytes* message,
                                      GCancellable* cancellable,
                                      GAsyncReadyCallback callback,
                                      gpointer user_data);

// Returns: (transfer full): the reply (empty when no handler answered), or NULL with @error.
GBytes* fl_bridge_messenger_send_from_ui_finish(FlBridgeMessenger* messenger,
                                                GAsyncResult* result,
                                                GError** error);

G_END_DECLS

#endif  // EMBEDDING_FL_BRIDGE_MESSENGER_H_
