#ifndef TESTS_SUPPORT_MOCK_MESSENGER_H_
#define TESTS_SUPPORT_MOCK_MESSENGER_H_

// A binary messenger for tests that plays the Dart side of the channels: it delivers calls to
// the handlers the code under test registered, collects their answers and the events they
// send, and checks that every message is answered exactly once (a handle dropped unanswered
// is a critical, fatal under G_DEBUG=fatal-criticals). It speaks the standard method codec
// with its own decoder, so it also checks the embedding's encoders. Main thread only, except
// that handlers may answer from any thread (as with the real messenger).

#include <flutter_linux/flutter_linux.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlMockBinaryMessenger,
                     fl_mock_binary_messenger,
                     FL,
                     MOCK_BINARY_MESSENGER,
                     GObject)

G_END_DECLS

// Shared ownership of an FlValue (unref on release), for values kept in C++ containers.
using MockValuePtr = std::shared_ptr<FlValue>;
// Takes the caller's reference to @value (NULL stays empty).
MockValuePtr fl_mock_value_take(FlValue* value);

// One message the code under test sent to the Dart side on an event channel.
enum class FlMockEventKind {
  kValue,        // success envelope: a data event
  kError,        // error envelope: an error event
  kEndOfStream,  // empty message: the stream closed
  kUndecodable,  // anything else
};

struct FlMockEvent {
  FlMockEventKind kind;
  MockValuePtr value;                  // kValue: the event
  std::string code;                    // kError: the code
  std::optional<std::string> message;  // kError: the message, if any
  MockValuePtr details;                // kError: the details, if any
};

// Renders an event for table comparisons: "value <v>", "error <code>[: <message>][ <details>]",
// "end" or "undecodable".
std::string fl_mock_event_to_string(const FlMockEvent& event);

// Renders a response for table comparisons: "success <v>", "error <code>[: <message>]
// [ <details>]" or "not implemented" (NULL: "none").
std::string fl_mock_response_to_string(FlMethodResponse* response);

// Called on the main context with the reply (transfer none, never NULL; empty when nothing
// handled the message).
typedef void (*FlMockReplyCallback)(GBytes* reply, gpointer user_data);

// Called on the main context with the decoded response, or NULL and the decoding error.
typedef void (*FlMockMethodResponseCallback)(FlMethodResponse* response,
                                             const GError* error,
                                             gpointer user_data);

// Returns: (transfer full) a messenger with no handlers, bound to the thread-default main
// context. Hand it to the code under test with FL_BINARY_MESSENGER().
FlMockBinaryMessenger* fl_mock_binary_messenger_new();

// Whether a handler is registered for @channel.
bool fl_mock_binary_messenger_has_handler(FlMockBinaryMessenger* self, const gchar* channel);

// Delivers @message (NULL: empty) to the handler of @channel as the Dart side would. The reply
// goes to @callback (may be NULL) from the main context; no handler gives an empty reply.
// Returns the id of the call, for fl_mock_binary_messenger_get_response_count.
guint fl_mock_binary_messenger_send(FlMockBinaryMessenger* self,
                                    const gchar* channel,
                                    GBytes* message,
                                    FlMockReplyCallback callback,
                                    gpointer user_data);

// As fl_mock_binary_messenger_send, then runs the main context until the reply arrives.
// Returns: (transfer full) the reply, or NULL if none came (10 s safety limit). Sets *@call_id
// when not NULL.
GBytes* fl_mock_binary_messenger_send_sync(FlMockBinaryMessenger* self,
                                           const gchar* channel,
                                           GBytes* message,
                                           guint* call_id = nullptr);

// Calls @method with @args (NULL: none) on @channel, encoded with the standard method codec;
// @callback (may be NULL) gets the decoded response. Returns the id of the call.
guint fl_mock_binary_messenger_invoke_method(FlMockBinaryMessenger* self,
                                             const gchar* channel,
                                             const gchar* method,
                                             FlValue* args,
                                             FlMockMethodResponseCallback callback,
                                             gpointer user_data);

// As fl_mock_binary_messenger_invoke_method, waiting for the response.
// Returns: (transfer full) the response (an empty reply is FlMethodNotImplementedResponse), or
// NULL with @error set when the reply is undecodable or none came.
FlMethodResponse* fl_mock_binary_messenger_invoke_method_sync(FlMockBinaryMessenger* self,
                                                              const gchar* channel,
                                                              const gchar* method,
                                                              FlValue* args,
                                                              GError** error,
                                                              guint* call_id = nullptr);

// How many times the handler tried to answer call @call_id so far, rejected second answers
// included: a correct handler answers exactly once.
int fl_mock_binary_messenger_get_response_count(FlMockBinaryMessenger* self, guint call_id);

// Starts listening on event channel @channel: invokes "listen" with @args (NULL: none) and
// waits for the answer. Returns: (transfer full) as fl_mock_binary_messenger_invoke_method_sync.
FlMethodResponse* fl_mock_binary_messenger_listen(FlMockBinaryMessenger* self,
                                                  const gchar* channel,
                                                  FlValue* args,
                                                  GError** error);

// Stops listening: invokes "cancel" with @args (NULL: none) and waits for the answer.
FlMethodResponse* fl_mock_binary_messenger_cancel(FlMockBinaryMessenger* self,
                                                  const gchar* channel,
                                                  FlValue* args,
                                                  GError** error);

// Number of messages the code under test sent on @channel not yet taken.
size_t fl_mock_binary_messenger_get_message_count(FlMockBinaryMessenger* self,
                                                  const gchar* channel);

// Returns the messages sent on @channel since the last take, in order, and forgets them.
std::vector<std::shared_ptr<GBytes>> fl_mock_binary_messenger_take_messages(
    FlMockBinaryMessenger* self,
    const gchar* channel);

// As fl_mock_binary_messenger_take_messages, decoded as event-channel events.
std::vector<FlMockEvent> fl_mock_binary_messenger_take_events(FlMockBinaryMessenger* self,
                                                              const gchar* channel);

// Sets the reply the Dart side gives to messages the code under test sends on @channel
// (NULL: empty, the default: "no handler").
void fl_mock_binary_messenger_set_dart_reply(FlMockBinaryMessenger* self,
                                             const gchar* channel,
                                             GBytes* reply);

// While @lost, every first answer is counted but lost: no reply comes, and the send fails
// without setting its GError (the interface allows it; the code under test must cope).
void fl_mock_binary_messenger_set_answers_lost(FlMockBinaryMessenger* self, bool lost);

// Runs the main context until @done returns true. Returns false if that took over 10 s.
bool fl_mock_binary_messenger_run_until(FlMockBinaryMessenger* self,
                                        const std::function<bool()>& done);

// Runs the main context until @count messages are pending on @channel (false after 10 s).
bool fl_mock_binary_messenger_wait_for_messages(FlMockBinaryMessenger* self,
                                                const gchar* channel,
                                                size_t count);

// Drops every handler as an engine shutdown does (their destroy_notify run).
void fl_mock_binary_messenger_shutdown(FlMockBinaryMessenger* self);

#endif  // TESTS_SUPPORT_MOCK_MESSENGER_H_
