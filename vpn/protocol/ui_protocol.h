#ifndef VPN_PROTOCOL_UI_PROTOCOL_H_
#define VPN_PROTOCOL_UI_PROTOCOL_H_

#include <string>
#include <vector>

// The UI protocol as data: every method of the two method channels (arguments, answer, errors,
// when it answers, what it raises) and every event of the event channel. The host's method
// table is checked against it by a test; korvanectl prints its help from it; docs/channels.md
// carries its rendering. Plain data without dependencies, so any side can link it.
namespace korvane::protocol {

enum class ChannelId { kVpn, kCore };

// When the answer to a call is sent. Calls arrive on the host's main thread one at a time.
enum class Timing {
  kAtOnce,        // before the handler returns, without blocking work
  kBlocking,      // after engine work done on the main thread; later calls wait for it
  kThenConnects,  // at once, then the connection is made on the main thread (events follow)
  kFromWorker,    // later, on behalf of a worker thread; other calls are served meanwhile
  kThenQuits,     // at once on success, then the host quits
};

// A key of a map argument, or the argument itself when `key` is empty.
struct Field {
  const char* key;
  const char* type;  // "string", "bool", "int", "list", "map"
  bool required;
  const char* meaning;  // includes the default of an optional key
};

struct Error {
  const char* code;
  const char* message;  // nullptr: the failure's own text
  const char* when;
  // Arguments (JSON text) that draw this error from a host that is disconnected and otherwise
  // untouched, or nullptr when it needs more (a running engine, a failing fork).
  const char* example_args;
};

struct Method {
  const char* name;
  ChannelId channel;
  const char* summary;
  const char* argument;  // the argument's shape in words: "none", "map", "bool", ...
  std::vector<Field> fields;
  const char* answer;  // the success value in words
  // Keys of a map answer whose strings are JSON text (korvanectl decodes them).
  std::vector<const char*> json_text_keys;
  // The success value (JSON) when it never varies, else nullptr.
  const char* fixed_answer;
  std::vector<Error> errors;
  Timing timing;
  const char* events;  // the events the call raises, "" for none
};

struct EventKey {
  const char* key;
  const char* type;
  const char* meaning;
};

struct Event {
  const char* status;  // the "status" value
  const char* meaning;
  std::vector<EventKey> keys;  // in the order the map carries them
};

// Orders of events around one transition, as a UI sees them while listening.
struct EventOrder {
  const char* situation;
  const char* statuses;  // the "status" values in order, comma-separated
  const char* note;
};

const char* ChannelName(ChannelId channel);       // "com.quorandel.korvane/vpn", ...
const char* ChannelShortName(ChannelId channel);  // "vpn", "core"
const char* EventChannel();
const char* TimingText(Timing timing);

// Every method, the vpn channel's in its dispatch order, then the core channel's.
const std::vector<Method>& Methods();
// The method of that name on any channel, or nullptr.
const Method* FindMethod(const std::string& name);
const std::vector<Event>& Events();
// Whether a call of `method` makes a connection (its events start with "vpn_connecting").
bool StartsConnection(const Method& method);
const std::vector<EventOrder>& EventOrders();

// The reference as Markdown (the generated part of docs/channels.md) and as korvanectl's help
// text for one method.
std::string RenderMarkdown();
std::string RenderMethodHelp(const Method& method);

}  // namespace korvane::protocol

#endif  // VPN_PROTOCOL_UI_PROTOCOL_H_
