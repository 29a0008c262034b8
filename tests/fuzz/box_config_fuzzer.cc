// The reference engine's configuration checks over arbitrary JSON text: ParseConfig either
// refuses with the engine's message or gives a configuration the controller can show, whose
// groups resolve to a concrete outbound (no cycle, no missing member).

#include <string>
#include <string_view>

#include "engine/box_config.h"
#include "engine/outbound_manager.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvane::fuzz::AsView;

std::string Dump(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(AsView(data, size));
  box::Config config;
  std::string error;
  if (!box::ParseConfig(text, &config, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(error.empty());

  box::Logger logger;
  box::OutboundManager outbounds(config, &logger);
  for (const box::OutboundOptions& outbound : config.outbounds) {
    FUZZ_CHECK(outbounds.Find(outbound.tag) != nullptr);
    const box::OutboundOptions* resolved = outbounds.Resolve(outbound.tag);
    FUZZ_CHECK(resolved != nullptr && !resolved->IsGroup());
    if (outbound.type == "selector") {
      FUZZ_CHECK(!outbounds.Now(outbound.tag).empty());
    }
    FUZZ_CHECK(!Dump(outbounds.ProxyInfo(outbound)).empty());
  }
  FUZZ_CHECK(!Dump(outbounds.AllProxies()).empty());
  // Every connection gets either a concrete outbound or a reason.
  box::RouteRequest request;
  request.network = "tcp";
  request.host = "example.com";
  request.port = 443;
  box::RoutePlan plan = outbounds.Plan(request);
  FUZZ_CHECK(!plan.refusal.empty() || plan.handle != nullptr);
  for (const std::string& tag : outbounds.GroupTags()) {
    FUZZ_CHECK(outbounds.Find(tag) != nullptr && outbounds.Find(tag)->IsGroup());
  }
  return 0;
}
