#include "vpn/channel/answer.h"

#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "base/logger.h"

namespace korvane {

namespace {

constexpr Logger kLog(kVPNManagerTag);
constexpr char kWorkerStartFailed[] = "Failed to start worker thread: ";

// A call waiting for its worker: holds one reference on the call until it is answered.
struct PendingAnswer {
  explicit PendingAnswer(FlMethodCall* pending) : call(FL_METHOD_CALL(g_object_ref(pending))) {}
  ~PendingAnswer() { g_object_unref(call); }
  PendingAnswer(const PendingAnswer&) = delete;
  PendingAnswer& operator=(const PendingAnswer&) = delete;

  FlMethodCall* call;
  Outcome outcome;
};

// Main thread, once: answers with the worker's outcome and frees the record.
gboolean AnswerPendingCb(gpointer data) {
  std::unique_ptr<PendingAnswer> pending(static_cast<PendingAnswer*>(data));
  Answer(pending->call, pending->outcome);
  return G_SOURCE_REMOVE;
}

}  // namespace

FlValue* ToFlValue(const AnswerValue& value) {
  switch (value.kind()) {
    case AnswerValue::Kind::kNull:
      return fl_value_new_null();
    case AnswerValue::Kind::kBool:
      return fl_value_new_bool(value.bool_value());
    case AnswerValue::Kind::kInt:
      return fl_value_new_int(value.int_value());
    case AnswerValue::Kind::kString:
      return fl_value_new_string(value.string_value().c_str());
    case AnswerValue::Kind::kList: {
      FlValue* list = fl_value_new_list();
      for (const AnswerValue& element : value.values()) {
        fl_value_append_take(list, ToFlValue(element));
      }
      return list;
    }
    case AnswerValue::Kind::kMap: {
      FlValue* map = fl_value_new_map();
      for (size_t i = 0; i < value.keys().size(); ++i) {
        fl_value_set_string_take(map, value.keys()[i].c_str(), ToFlValue(value.values()[i]));
      }
      return map;
    }
  }
  return fl_value_new_null();
}

namespace {

void Send(FlMethodCall* call, FlMethodResponse* response) {
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond(call, response, &error)) {
    // A lost answer leaves the UI waiting, so it must be seen.
    kLog.Error() << "Failed to answer " << fl_method_call_get_name(call) << ": "
                 << (error != nullptr ? error->message : "unknown error");
  }
}

}  // namespace

void AnswerNotImplemented(FlMethodCall* call) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  Send(call, response);
}

void Answer(FlMethodCall* call, const Outcome& outcome) {
  g_autoptr(FlMethodResponse) response = nullptr;
  if (outcome.ok) {
    g_autoptr(FlValue) result = ToFlValue(outcome.value);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  } else {
    response = FL_METHOD_RESPONSE(
        fl_method_error_response_new(outcome.code.c_str(), outcome.message.c_str(), nullptr));
  }
  Send(call, response);
}

void AnswerLater(FlMethodCall* call, Deferred deferred) {
  if (deferred.now) {
    Answer(call, *deferred.now);
    return;
  }
  auto pending = std::make_unique<PendingAnswer>(call);
  try {
    std::thread([pending = pending.get(), work = std::move(deferred.work)] {
      try {
        pending->outcome = work();
      } catch (const std::exception& e) {
        pending->outcome = Outcome::Failure(kExceptionCode, e.what());
      }
      g_idle_add(AnswerPendingCb, pending);
    }).detach();
  } catch (const std::exception& e) {
    // An exception must not reach the C code that delivered the call.
    pending.reset();
    if (deferred.abandon) {
      deferred.abandon();
    }
    const std::string message = kWorkerStartFailed + std::string(e.what());
    kLog.Error() << fl_method_call_get_name(call) << ": " << message;
    Answer(call, Outcome::Failure(kExceptionCode, message));
    return;
  }
  // The worker owns the record from here.
  pending.release();
}

}  // namespace korvane
