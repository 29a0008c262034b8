#include "tools/korvanectl/value_json.h"

namespace korvane {

FlValuePtr JsonToValue(const nlohmann::json& json) {
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      return FlValuePtr(fl_value_new_bool(json.get<bool>()));
    case nlohmann::json::value_t::number_integer:
      return FlValuePtr(fl_value_new_int(json.get<int64_t>()));
    case nlohmann::json::value_t::number_unsigned: {
      // Beyond int64 the value cannot be an integer of the codec.
      uint64_t u = json.get<uint64_t>();
      if (u > static_cast<uint64_t>(INT64_MAX)) {
        return FlValuePtr(fl_value_new_float(static_cast<double>(u)));
      }
      return FlValuePtr(fl_value_new_int(static_cast<int64_t>(u)));
    }
    case nlohmann::json::value_t::number_float:
      return FlValuePtr(fl_value_new_float(json.get<double>()));
    case nlohmann::json::value_t::string:
      return FlValuePtr(fl_value_new_string(json.get_ref<const std::string&>().c_str()));
    case nlohmann::json::value_t::array: {
      FlValuePtr list(fl_value_new_list());
      for (const auto& item : json) {
        fl_value_append_take(list.get(), JsonToValue(item).release());
      }
      return list;
    }
    case nlohmann::json::value_t::object: {
      FlValuePtr map(fl_value_new_map());
      for (const auto& [key, item] : json.items()) {
        fl_value_set_string_take(map.get(), key.c_str(), JsonToValue(item).release());
      }
      return map;
    }
    default:
      return FlValuePtr(fl_value_new_null());
  }
}

namespace {

template <typename T>
nlohmann::json TypedListToJson(const T* items, size_t length) {
  nlohmann::json array = nlohmann::json::array();
  for (size_t i = 0; i < length; i++) {
    array.push_back(items[i]);
  }
  return array;
}

}  // namespace

nlohmann::json ValueToJson(FlValue* value) {
  if (value == nullptr) {
    return nullptr;
  }
  size_t length = 0;
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      return nullptr;
    case FL_VALUE_TYPE_BOOL:
      return fl_value_get_bool(value);
    case FL_VALUE_TYPE_INT:
      return fl_value_get_int(value);
    case FL_VALUE_TYPE_FLOAT:
      return fl_value_get_float(value);
    case FL_VALUE_TYPE_STRING:
      return fl_value_get_string(value);
    case FL_VALUE_TYPE_UINT8_LIST:
      length = fl_value_get_length(value);
      return TypedListToJson(fl_value_get_uint8_list(value), length);
    case FL_VALUE_TYPE_INT32_LIST:
      length = fl_value_get_length(value);
      return TypedListToJson(fl_value_get_int32_list(value), length);
    case FL_VALUE_TYPE_INT64_LIST:
      length = fl_value_get_length(value);
      return TypedListToJson(fl_value_get_int64_list(value), length);
    case FL_VALUE_TYPE_FLOAT32_LIST:
      length = fl_value_get_length(value);
      return TypedListToJson(fl_value_get_float32_list(value), length);
    case FL_VALUE_TYPE_FLOAT_LIST:
      length = fl_value_get_length(value);
      return TypedListToJson(fl_value_get_float_list(value), length);
    case FL_VALUE_TYPE_LIST: {
      nlohmann::json array = nlohmann::json::array();
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(ValueToJson(fl_value_get_list_value(value, i)));
      }
      return array;
    }
    case FL_VALUE_TYPE_MAP: {
      nlohmann::json object = nlohmann::json::object();
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        FlValue* key = fl_value_get_map_key(value, i);
        std::string name;
        if (fl_value_get_type(key) == FL_VALUE_TYPE_STRING) {
          name = fl_value_get_string(key);
        } else {
          g_autofree gchar* text = fl_value_to_string(key);
          name = text;
        }
        object[name] = ValueToJson(fl_value_get_map_value(value, i));
      }
      return object;
    }
    default: {
      g_autofree gchar* text = fl_value_to_string(value);
      return std::string(text != nullptr ? text : "");
    }
  }
}

}  // namespace korvane
