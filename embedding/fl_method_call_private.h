#ifndef EMBEDDING_FL_METHOD_CALL_PRIVATE_H_
#define EMBEDDING_FL_METHOD_CALL_PRIVATE_H_

#include "fl_method_channel_private.h"
#include "flutter_linux/fl_binary_messenger.h"
#include "flutter_linux/fl_method_call.h"
#include "flutter_linux/fl_method_channel.h"

G_BEGIN_DECLS

// Returns: (transfer full): a call of @name (copied) with @args (referenced, not NULL) that
// answers through @channel and @response_handle (both referenced).
FlMethodCall* fl_method_call_new(const gchar* name,
                                 FlValue* args,
                                 FlMethodChannel* channel,
                                 FlBinaryMessengerResponseHandle* response_handle);

// Returns: (transfer none): the handle the call answers.
FlBinaryMessengerResponseHandle* fl_method_call_get_response_handle(FlMethodCall* method_call);

G_END_DECLS

#endif  // EMBEDDING_FL_METHOD_CALL_PRIVATE_H_
