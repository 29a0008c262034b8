#ifndef TOOLS_KORVANECTL_OUTPUT_H_
#define TOOLS_KORVANECTL_OUTPUT_H_

#include <string>

#include <nlohmann/json.hpp>

#include "tools/korvanectl/bridge_client.h"
#include "vpn/protocol/ui_protocol.h"

// What korvanectl prints on standard output: one JSON object per answer and one line per event.
namespace korvane::ctl {

// {"ok":true,"value":V} or {"ok":false,"code":C,"message":M,"details":D}; a not-implemented
// answer is code "NOT_IMPLEMENTED". Strings the reference documents as JSON text (`method`
// may be null) are decoded.
nlohmann::json AnswerJson(const BridgeClient::Response& response,
                          const korvane::protocol::Method* method,
                          const std::string& method_name,
                          const std::string& channel);

// An event as one line: its map as JSON, or (text) "TIME STATUS[ ERROR]".
std::string EventLine(const BridgeClient::Event& event, bool json);

// The "status" of a data event, "" for anything else.
std::string EventStatus(const BridgeClient::Event& event);

std::string Dump(const nlohmann::json& json);

}  // namespace korvane::ctl

#endif  // TOOLS_KORVANECTL_OUTPUT_H_
