#include "clash/clash_queries.h"

#include <climits>
#include <stdexcept>

#include "clash/clash_api_client.h"
#include "clash/json_scan.h"

namespace korvane {

namespace {

constexpr char kLoopbackPrefix[] = "127.0.0.1:";
constexpr size_t kLoopbackPrefixLength = sizeof(kLoopbackPrefix) - 1;
constexpr int kSelectorReadTimeoutMs = 3000;
constexpr int kMinDelayRequestTimeoutMs = 4000;
constexpr int kDelayRequestMarginMs = 1000;
constexpr int kMaxAutomaticHops = 3;

bool IsDecimal(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<int> ExtractClashApiPort(const std::string& config) {
  std::optional<std::string> address =
      FindJsonString(config, "external_controller", [](const std::string& value) {
        return value.compare(0, kLoopbackPrefixLength, kLoopbackPrefix) == 0 &&
               IsDecimal(value.substr(kLoopbackPrefixLength));
      });
  if (!address) {
    return std::nullopt;
  }
  try {
    return std::stoi(address->substr(kLoopbackPrefixLength));
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

std::string ExtractClashApiSecret(const std::string& config) {
  std::optional<std::string> secret = FindJsonObjectString(config, "clash_api", "secret");
  if (!secret) {
    return "";
  }
  for (const char c : *secret) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return "";
    }
  }
  return *secret;
}

std::optional<ClashController> FindClashController(const std::string& config) {
  std::optional<int> port = ExtractClashApiPort(config);
  if (!port) {
    return std::nullopt;
  }
  return ClashController{"http://127.0.0.1:" + std::to_string(*port),
                         ExtractClashApiSecret(config)};
}

std::optional<std::string> ClashGet(const ClashController& controller,
                                    const std::string& path,
                                    int timeout) {
  return ClashApiClient::httpGet(controller.base + path, timeout, controller.secret);
}

std::string EncodeClashPathSegment(const std::string& text) {
  return ClashApiClient::percentEncode(text);
}

std::optional<int> ExtractJsonIntField(const std::string& json, const std::string& field) {
  return FindJsonInt(json, field, true);
}

bool IsAutomaticGroup(const std::string& tag) {
  return tag == "auto" || tag.rfind("auto_", 0) == 0;
}

std::string DelayQuery(int timeout) {
  // The URL is a constant that needs no escaping in a query: it goes in as it is.
  return std::string("/delay?url=") + kDefaultTestUrl + "&timeout=" + std::to_string(timeout);
}

int DelayRequestTimeout(int timeout) {
  if (timeout <= kMinDelayRequestTimeoutMs) {
    return kMinDelayRequestTimeoutMs;
  }
  return timeout > INT_MAX - kDelayRequestMarginMs ? INT_MAX : timeout + kDelayRequestMarginMs;
}

std::optional<std::string> ReadSelectorNow(const ClashController& controller,
                                           const std::string& tag) {
  std::optional<std::string> body =
      ClashGet(controller, "/proxies/" + EncodeClashPathSegment(tag), kSelectorReadTimeoutMs);
  if (!body) {
    return std::nullopt;
  }
  return FindJsonString(*body, "now");
}

ResolvedSelector ResolveActiveSelector(const ClashController& controller,
                                       const std::string& selector) {
  ResolvedSelector resolved;
  if (selector.empty()) {
    return resolved;
  }
  std::optional<std::string> now = ReadSelectorNow(controller, selector);
  if (!now) {
    return resolved;
  }
  resolved.responded = true;
  std::string current = *now;
  for (int hop = 0; hop < kMaxAutomaticHops; ++hop) {
    if (!IsAutomaticGroup(current)) {
      break;
    }
    resolved.group = current;
    std::optional<std::string> next = ReadSelectorNow(controller, current);
    if (!next || next->empty()) {
      resolved.leaf.clear();
      return resolved;
    }
    current = *next;
  }
  if (IsAutomaticGroup(current)) {
    // Deeper than three automatic groups: the member in use stays unknown.
    resolved.group = current;
    resolved.leaf.clear();
  } else {
    resolved.leaf = current;
  }
  return resolved;
}

int FetchTagDelay(const ClashController& controller, const std::string& tag, int timeout) {
  if (tag.empty()) {
    return -1;
  }
  std::optional<std::string> body =
      ClashGet(controller, "/proxies/" + EncodeClashPathSegment(tag) + DelayQuery(timeout),
               DelayRequestTimeout(timeout));
  if (!body) {
    return -1;
  }
  return ExtractJsonIntField(*body, "delay").value_or(-1);
}

}  // namespace korvane
