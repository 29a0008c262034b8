#ifndef FLUTTER_LINUX_FL_METHOD_RESPONSE_H_
#define FLUTTER_LINUX_FL_METHOD_RESPONSE_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_value.h"

G_BEGIN_DECLS

#define FL_METHOD_RESPONSE_ERROR fl_method_response_error_quark()

typedef enum {
  FL_METHOD_RESPONSE_ERROR_FAILED,
  // The other side answered with an error envelope.
  FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR,
  // The other side has no handler for the method.
  FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED,
} FlMethodResponseError;

G_MODULE_EXPORT GQuark fl_method_response_error_quark(void) G_GNUC_CONST;

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlMethodResponse, fl_method_response, FL, METHOD_RESPONSE, GObject)

struct _FlMethodResponseClass {
  GObjectClass parent_class;
};

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodSuccessResponse,
                     fl_method_success_response,
                     FL,
                     METHOD_SUCCESS_RESPONSE,
                     FlMethodResponse)

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodErrorResponse,
                     fl_method_error_response,
                     FL,
                     METHOD_ERROR_RESPONSE,
                     FlMethodResponse)

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodNotImplementedResponse,
                     fl_method_not_implemented_response,
                     FL,
                     METHOD_NOT_IMPLEMENTED_RESPONSE,
                     FlMethodResponse)

/**
 * fl_method_response_get_result:
 *
 * Returns: (transfer none): the result of a success response; NULL with
 * FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR ("Remote code returned error CODE[: MESSAGE][ DETAILS]")
 * for an error response, NULL with FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED for not-implemented.
 */
G_MODULE_EXPORT FlValue* fl_method_response_get_result(FlMethodResponse* response, GError** error);

/**
 * fl_method_success_response_new:
 * @result: (allow-none): the result, referenced; NULL stands for a null value.
 *
 * Returns: (transfer full): a new response.
 */
G_MODULE_EXPORT FlMethodSuccessResponse* fl_method_success_response_new(FlValue* result);

// Returns: (transfer none): the result, never NULL (a null value when created with NULL).
G_MODULE_EXPORT FlValue* fl_method_success_response_get_result(FlMethodSuccessResponse* response);

/**
 * fl_method_error_response_new:
 * @code: the error code (copied).
 * @message: (allow-none): a readable message (copied).
 * @details: (allow-none): extra data (referenced).
 *
 * Returns: (transfer full): a new response.
 */
G_MODULE_EXPORT FlMethodErrorResponse* fl_method_error_response_new(const gchar* code,
                                                                    const gchar* message,
                                                                    FlValue* details);

// Getters of an error response; message and details may be NULL (transfer none).
G_MODULE_EXPORT const gchar* fl_method_error_response_get_code(FlMethodErrorResponse* response);
G_MODULE_EXPORT const gchar* fl_method_error_response_get_message(FlMethodErrorResponse* response);
G_MODULE_EXPORT FlValue* fl_method_error_response_get_details(FlMethodErrorResponse* response);

/**
 * fl_method_not_implemented_response_new:
 *
 * Returns: (transfer full): a new response telling the caller the method is unknown.
 */
G_MODULE_EXPORT FlMethodNotImplementedResponse* fl_method_not_implemented_response_new();

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_RESPONSE_H_
