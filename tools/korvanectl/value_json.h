#ifndef TOOLS_KORVANECTL_VALUE_JSON_H_
#define TOOLS_KORVANECTL_VALUE_JSON_H_

#include <nlohmann/json.hpp>

#include <string>

#include "tools/korvanectl/bridge_client.h"

namespace korvane {

// JSON to codec values: integers stay integers, other numbers become floats; null, booleans,
// strings, arrays and objects map to their codec kinds.
FlValuePtr JsonToValue(const nlohmann::json& json);

// Codec values to JSON: typed lists become arrays; map keys that are not strings are written
// as their text form.
nlohmann::json ValueToJson(FlValue* value);

}  // namespace korvane

#endif  // TOOLS_KORVANECTL_VALUE_JSON_H_
