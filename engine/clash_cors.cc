#include "engine/clash_cors.h"

#include <strings.h>

#include <algorithm>

namespace box {
namespace {

constexpr const char* kMethods[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};
constexpr const char* kHeaders[] = {"content-type", "authorization"};

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) {
    return "";
  }
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Every name of a comma-separated Access-Control-Request-Headers is one the controller allows.
bool HeadersAllowed(const std::string& list) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string name =
        Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!name.empty() &&
        std::none_of(std::begin(kHeaders), std::end(kHeaders),
                     [&](const char* allowed) { return EqualsNoCase(name, allowed); })) {
      return false;
    }
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  return true;
}

}  // namespace

CorsDecision DecideCors(const ClashAccess& access, const CorsRequest& request) {
  CorsDecision decision;
  if (request.origin == nullptr) {
    return decision;  // not a browser's cross-origin request
  }
  const std::string origin = request.origin;
  bool any = false;
  bool listed = false;
  for (const std::string& allowed : access.allow_origins) {
    any = any || allowed == "*";
    listed = listed || EqualsNoCase(allowed, origin);
  }
  if (!any && !listed) {
    decision.refuse = true;
    return decision;
  }
  decision.headers.emplace_back("Access-Control-Allow-Origin", any ? "*" : origin);
  decision.headers.emplace_back("Vary", "Origin");
  if (request.method != "OPTIONS" || request.request_method == nullptr) {
    return decision;
  }
  const std::string wanted = request.request_method;
  if (std::none_of(std::begin(kMethods), std::end(kMethods),
                   [&](const char* method) { return wanted == method; }) ||
      (request.request_headers != nullptr && !HeadersAllowed(request.request_headers))) {
    decision.refuse = true;
    decision.headers.clear();
    return decision;
  }
  decision.preflight = true;
  decision.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE");
  decision.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type, Authorization");
  if (access.allow_private_network && request.request_private_network != nullptr &&
      EqualsNoCase(request.request_private_network, "true")) {
    decision.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  }
  return decision;
}

}  // namespace box
