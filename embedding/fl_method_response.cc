#include "flutter_linux/fl_method_response.h"

G_DEFINE_QUARK(fl_method_response_error_quark, fl_method_response_error)

struct _FlMethodSuccessResponse {
  FlMethodResponse parent_instance;

  // The result; a null value when none was given.
  FlValue* result;
};

struct _FlMethodErrorResponse {
  FlMethodResponse parent_instance;

  gchar* code;
  // NULL when the error came without a message.
  gchar* message;
  // NULL when the error came without details.
  FlValue* details;
};

struct _FlMethodNotImplementedResponse {
  FlMethodResponse parent_instance;
};

G_DEFINE_ABSTRACT_TYPE(FlMethodResponse, fl_method_response, G_TYPE_OBJECT)
G_DEFINE_TYPE(FlMethodSuccessResponse, fl_method_success_response, fl_method_response_get_type())
G_DEFINE_TYPE(FlMethodErrorResponse, fl_method_error_response, fl_method_response_get_type())
G_DEFINE_TYPE(FlMethodNotImplementedResponse,
              fl_method_not_implemented_response,
              fl_method_response_get_type())

static void fl_method_response_class_init(FlMethodResponseClass* klass) {}

static void fl_method_response_init(FlMethodResponse* self) {}

static void fl_method_success_response_dispose(GObject* object) {
  FlMethodSuccessResponse* self = FL_METHOD_SUCCESS_RESPONSE(object);
  g_clear_pointer(&self->result, fl_value_unref);
  G_OBJECT_CLASS(fl_method_success_response_parent_class)->dispose(object);
}

static void fl_method_success_response_class_init(FlMethodSuccessResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_success_response_dispose;
}

static void fl_method_success_response_init(FlMethodSuccessResponse* self) {}

static void fl_method_error_response_dispose(GObject* object) {
  FlMethodErrorResponse* self = FL_METHOD_ERROR_RESPONSE(object);
  g_clear_pointer(&self->code, g_free);
  g_clear_pointer(&self->message, g_free);
  g_clear_pointer(&self->details, fl_value_unref);
  G_OBJECT_CLASS(fl_method_error_response_parent_class)->dispose(object);
}

static void fl_method_error_response_class_init(FlMethodErrorResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_error_response_dispose;
}

static void fl_method_error_response_init(FlMethodErrorResponse* self) {}

static void fl_method_not_implemented_response_class_init(
    FlMethodNotImplementedResponseClass* klass) {}

static void fl_method_not_implemented_response_init(FlMethodNotImplementedResponse* self) {}

FlValue* fl_method_response_get_result(FlMethodResponse* self, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(self), nullptr);
  if (FL_IS_METHOD_SUCCESS_RESPONSE(self)) {
    return fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(self));
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(self)) {
    FlMethodErrorResponse* response = FL_METHOD_ERROR_RESPONSE(self);
    g_autoptr(GString) text = g_string_new(nullptr);
    g_string_append_printf(text, "Remote code returned error %s", response->code);
    if (response->message != nullptr) {
      g_string_append_printf(text, ": %s", response->message);
    }
    if (response->details != nullptr) {
      g_autofree gchar* details = fl_value_to_string(response->details);
      g_string_append_printf(text, " %s", details);
    }
    g_set_error_literal(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR,
                        text->str);
    return nullptr;
  }
  if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(self)) {
    g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED,
                "Requested method is not implemented");
    return nullptr;
  }
  g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_FAILED,
              "Unknown response type %s", G_OBJECT_TYPE_NAME(self));
  return nullptr;
}

FlMethodSuccessResponse* fl_method_success_response_new(FlValue* result) {
  FlMethodSuccessResponse* self =
      FL_METHOD_SUCCESS_RESPONSE(g_object_new(fl_method_success_response_get_type(), nullptr));
  self->result = result != nullptr ? fl_value_ref(result) : fl_value_new_null();
  return self;
}

FlValue* fl_method_success_response_get_result(FlMethodSuccessResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_SUCCESS_RESPONSE(self), nullptr);
  return self->result;
}

FlMethodErrorResponse* fl_method_error_response_new(const gchar* code,
                                                    const gchar* message,
                                                    FlValue* details) {
  g_return_val_if_fail(code != nullptr, nullptr);
  FlMethodErrorResponse* self =
      FL_METHOD_ERROR_RESPONSE(g_object_new(fl_method_error_response_get_type(), nullptr));
  self->code = g_strdup(code);
  self->message = g_strdup(message);
  self->details = details != nullptr ? fl_value_ref(details) : nullptr;
  return self;
}

const gchar* fl_method_error_response_get_code(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->code;
}

const gchar* fl_method_error_response_get_message(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->message;
}

FlValue* fl_method_error_response_get_details(FlMethodErrorResponse* self) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(self), nullptr);
  return self->details;
}

FlMethodNotImplementedResponse* fl_method_not_implemented_response_new() {
  return FL_METHOD_NOT_IMPLEMENTED_RESPONSE(
      g_object_new(fl_method_not_implemented_response_get_type(), nullptr));
}
