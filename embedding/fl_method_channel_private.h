#ifndef EMBEDDING_FL_METHOD_CHANNEL_PRIVATE_H_
#define EMBEDDING_FL_METHOD_CHANNEL_PRIVATE_H_

#include "flutter_linux/fl_binary_messenger.h"
#include "flutter_linux/fl_method_channel.h"
#include "flutter_linux/fl_method_response.h"

G_BEGIN_DECLS

// Encodes @response with the channel's codec and answers @response_handle with it (a
// not-implemented response is an empty reply). FALSE with @error on encoding failure or with
// FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED on a second answer.
gboolean fl_method_channel_respond(FlMethodChannel* channel,
                                   FlBinaryMessengerResponseHandle* response_handle,
                                   FlMethodResponse* response,
                                   GError** error);

G_END_DECLS

#endif  // EMBEDDING_FL_METHOD_CHANNEL_PRIVATE_H_
