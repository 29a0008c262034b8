#ifndef EMBEDDING_FL_BINARY_MESSENGER_PRIVATE_H_
#define EMBEDDING_FL_BINARY_MESSENGER_PRIVATE_H_

#include "flutter_linux/fl_binary_messenger.h"

G_BEGIN_DECLS

// Shuts @messenger down: every handler is dropped (its destroy_notify called) and nothing more
// is delivered. Main thread only.
void fl_binary_messenger_shutdown(FlBinaryMessenger* messenger);

// Records that @handle has been answered. The first call returns TRUE; later ones return FALSE
// with FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED. Any thread (atomic), so implementations of
// send_response call it before sending anything.
gboolean fl_binary_messenger_response_handle_mark_responded(FlBinaryMessengerResponseHandle* handle,
                                                            GError** error);

// Whether fl_binary_messenger_response_handle_mark_responded has succeeded on @handle.
gboolean fl_binary_messenger_response_handle_is_responded(FlBinaryMessengerResponseHandle* handle);

// Logs the critical "FlBinaryMessengerResponseHandle was not responded to" when @handle was
// never answered. Implementations call it from their handle's dispose (it reports once).
void fl_binary_messenger_response_handle_check_responded(FlBinaryMessengerResponseHandle* handle);

G_END_DECLS

#endif  // EMBEDDING_FL_BINARY_MESSENGER_PRIVATE_H_
