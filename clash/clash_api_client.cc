// Blocking GETs to the engine's controller, and the fixed-group latency test built on them.

#include "clash/clash_api_client.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "base/logger.h"
#include "clash/json_scan.h"

namespace {

constexpr korvane::Logger kLog(korvane::kClashAPITag);

bool curl_initialized = false;
std::mutex curl_init_mutex;

constexpr int kAvailabilityTimeoutMs = 1000;

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlListPtr = std::unique_ptr<curl_slist, CurlListDeleter>;

// libcurl's write function: the whole chunk joins the body. A body past the limit ends the
// transfer (a short count is a write error), so a runaway answer cannot take the memory.
size_t WriteCallback(void* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t bytes = size * count;
  if (body->size() + bytes > ClashApiClient::kMaxBodyBytes) {
    return 0;
  }
  body->append(static_cast<const char*>(data), bytes);
  return bytes;
}

// std::this_thread::sleep_for resumes after signals until the whole time has passed.
void SleepOneSecond() {
  std::this_thread::sleep_for(std::chrono::seconds(1));
}

bool Cancelled(const std::function<bool()>& cancel) {
  return cancel && cancel();
}

}  // namespace

const std::string ClashApiClient::API_BASE_URL = "http://127.0.0.1";

void ClashApiClient::globalInit() {
  std::lock_guard<std::mutex> lock(curl_init_mutex);
  if (!curl_initialized) {
    curl_global_init(CURL_GLOBAL_ALL);
    curl_initialized = true;
  }
}

std::optional<std::string> ClashApiClient::httpGet(const std::string& url,
                                                   int timeout,
                                                   const std::string& secret) {
  globalInit();
  // A line break would end the header and start another of the caller's choosing.
  if (secret.find_first_of("\r\n") != std::string::npos) {
    return std::nullopt;
  }
  CurlEasyPtr handle(curl_easy_init());
  if (!handle) {
    return std::nullopt;
  }
  CurlListPtr headers;
  if (!secret.empty()) {
    const std::string authorization = "Authorization: Bearer " + secret;
    headers.reset(curl_slist_append(nullptr, authorization.c_str()));
    if (!headers) {
      return std::nullopt;
    }
    curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  }
  std::string body;
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  // The controller is on loopback: never through a proxy. Both options set keeps libcurl from
  // reading http_proxy, no_proxy and the rest with getenv, which races the main thread's setenv.
  curl_easy_setopt(handle.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(handle.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout));
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout));
  const CURLcode result = curl_easy_perform(handle.get());
  long status = 0;
  if (result == CURLE_OK &&
      curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    status = 0;
  }
  if (result != CURLE_OK || status != 200) {
    return std::nullopt;
  }
  return body;
}

bool ClashApiClient::isApiAvailable(int port, const std::string& secret) {
  return httpGet(API_BASE_URL + ":" + std::to_string(port) + "/version", kAvailabilityTimeoutMs,
                 secret)
      .has_value();
}

bool ClashApiClient::isApiAvailable() {
  return isApiAvailable(API_PORT);
}

int ClashApiClient::parseUrlTestResponse(const std::string& body) {
  std::optional<int> latency = korvane::FindJsonInt(body, "proxy-main", false);
  if (!latency) {
    latency = korvane::FindJsonInt(body, "proxy", false);
  }
  return latency.value_or(-1);
}

std::string ClashApiClient::percentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

UrlTestResult ClashApiClient::performUrlTestOnPort(const std::string& testUrl,
                                                   int port,
                                                   int timeout,
                                                   int attempts,
                                                   const std::function<bool()>& cancel,
                                                   const std::string& secret) {
  UrlTestResult result;
  auto fail = [&result](const std::string& error) {
    result.latency = -1;
    result.error = error;
    kLog.Info() << error;
    return result;
  };
  if (Cancelled(cancel)) {
    return fail("URLTest cancelled before starting");
  }
  kLog.Info() << "Starting URLTest for VPN latency measurement";
  SleepOneSecond();
  if (Cancelled(cancel)) {
    return fail("URLTest cancelled during initialization");
  }
  for (int n = 0; n < attempts;) {
    if (Cancelled(cancel)) {
      return fail("URLTest cancelled");
    }
    if (n == 0) {
      if (isApiAvailable(port, secret)) {
        kLog.Info() << "API is available on localhost:" << port;
      } else {
        kLog.Info() << "API not ready yet";
      }
    } else {
      SleepOneSecond();
      if (Cancelled(cancel)) {
        return fail("URLTest cancelled");
      }
    }
    // The test URL travels as a query value: encoded, so that it cannot add parameters.
    const std::string url = API_BASE_URL + ":" + std::to_string(port) +
                            "/group/proxy/delay?url=" + percentEncode(testUrl) +
                            "&timeout=" + std::to_string(timeout);
    ++n;
    kLog.Info() << "Attempt " << n << "/" << attempts << " - Testing: " << url;
    std::optional<std::string> body = httpGet(url, timeout, secret);
    if (!body) {
      kLog.Info() << "No response from API (attempt " << n << ")";
      continue;
    }
    kLog.Info() << "Response: " << *body;
    const int latency = parseUrlTestResponse(*body);
    if (latency < 1) {
      kLog.Info() << "Failed to parse latency from response";
      continue;
    }
    result.latency = latency;
    result.error.clear();
    kLog.Info() << "URLTest successful: " << latency << "ms";
    return result;
  }
  return fail("Failed to perform URLTest after " + std::to_string(attempts) + " attempts");
}

UrlTestResult ClashApiClient::performUrlTest(const std::string& testUrl,
                                             int timeout,
                                             int attempts,
                                             const std::function<bool()>& cancel) {
  return performUrlTestOnPort(testUrl, API_PORT, timeout, attempts, cancel);
}
