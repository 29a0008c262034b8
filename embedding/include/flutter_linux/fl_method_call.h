#ifndef FLUTTER_LINUX_FL_METHOD_CALL_H_
#define FLUTTER_LINUX_FL_METHOD_CALL_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_method_response.h"
#include "fl_value.h"

G_BEGIN_DECLS

/**
 * FlMethodCall:
 *
 * One method call received on an FlMethodChannel; it is owed exactly one response.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodCall, fl_method_call, FL, METHOD_CALL, GObject)

// Returns: (transfer none): the method name.
G_MODULE_EXPORT const gchar* fl_method_call_get_name(FlMethodCall* method_call);

// Returns: (transfer none): the arguments, never NULL (a null value when absent).
G_MODULE_EXPORT FlValue* fl_method_call_get_args(FlMethodCall* method_call);

/**
 * fl_method_call_respond:
 * @response: the response (not taken).
 *
 * Answers the call. A second answer fails with FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED.
 *
 * Returns: TRUE on success.
 */
G_MODULE_EXPORT gboolean fl_method_call_respond(FlMethodCall* method_call,
                                                FlMethodResponse* response,
                                                GError** error);

// Answers with success; @result may be NULL (null).
G_MODULE_EXPORT gboolean fl_method_call_respond_success(FlMethodCall* method_call,
                                                        FlValue* result,
                                                        GError** error);

// Answers with an error; @message and @details may be NULL.
G_MODULE_EXPORT gboolean fl_method_call_respond_error(FlMethodCall* method_call,
                                                      const gchar* code,
                                                      const gchar* message,
                                                      FlValue* details,
                                                      GError** error);

// Answers that the method is not implemented (an empty reply).
G_MODULE_EXPORT gboolean fl_method_call_respond_not_implemented(FlMethodCall* method_call,
                                                                GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CALL_H_
