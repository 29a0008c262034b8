#include "engine/service.h"

#include <chrono>
#include <cstdio>

namespace box {

Service::Service() = default;

Service::~Service() {
  Stop();
}

std::unique_ptr<Service> Service::Create(const std::string& config_json,
                                         const std::string& working_directory,
                                         std::string* error) {
  std::unique_ptr<Service> service(new Service());
  service->working_directory_ = working_directory;
  if (!ParseConfig(config_json, &service->config_, error)) {
    return nullptr;
  }
  service->outbounds_ = std::make_unique<OutboundManager>(service->config_, &service->logger_);
  if (!service->Acquire(error)) {
    return nullptr;  // the destructor releases what was acquired
  }
  return service;
}

bool Service::Acquire(std::string* error) {
  for (const InboundOptions& inbound : config_.inbounds) {
    if (inbound.type == "tun") {
      std::string tun_error;
      auto device = TunInbound::Create(inbound, &tun_error);
      if (!device) {
        *error = "start " + inbound.name + ": " + tun_error;
        return false;
      }
      tuns_.push_back(Tun{&inbound, std::move(device)});
    } else if (inbound.type == "mixed") {
      MixedInboundOptions options;
      // The inbound logs under its name's label: the tag, or its index when it has none.
      const size_t label = inbound.name.find('[') + 1;
      options.tag = inbound.name.substr(label, inbound.name.size() - label - 1);
      options.listen = inbound.listen;
      options.listen_port = inbound.listen_port;
      for (const InboundUser& user : inbound.users) {
        options.users.push_back(MixedUser{user.username, user.password});
      }
      Logger* logger = &logger_;
      OutboundManager* outbounds = outbounds_.get();
      std::string bind_error;
      auto mixed = MixedInbound::Create(
          options,
          [logger](const std::string& level, const std::string& message) {
            int parsed = Logger::ParseUpperLevel(level);
            logger->Log(parsed < 0 ? kInfo : parsed, message);
          },
          [outbounds](const RouteRequest& request) { return outbounds->Plan(request); },
          &bind_error);
      if (!mixed) {
        *error = "start " + inbound.name + ": " + bind_error;
        return false;
      }
      mixed_.push_back(Mixed{&inbound, std::move(mixed)});
    } else {
      *error = "initialize " + inbound.name +
               ": inbound type not served by the reference engine: " + inbound.type;
      return false;
    }
  }
  if (!config_.external_controller.empty()) {
    ClashAccess access;
    access.secret = config_.secret;
    access.allow_origins = config_.allow_origins;
    access.allow_private_network = config_.allow_private_network;
    clash_ = ClashServer::Create(config_.external_controller, access, outbounds_.get(), error);
    if (!clash_) {
      return false;
    }
  }
  return true;
}

bool Service::Start(std::string* error) {
  if (started_ || stopped_) {
    *error = "start service: service already started";
    return false;
  }
  started_ = true;
  const auto begin = std::chrono::steady_clock::now();
  if (!logger_.Open(config_.log, working_directory_, error)) {
    Stop();
    return false;
  }
  auto fail = [&](const std::string& text) {
    *error = text;
    logger_.Log(kError, text);
    Stop();
    return false;
  };
  for (const Tun& tun : tuns_) {
    Logger* logger = &logger_;
    OutboundManager* outbounds = outbounds_.get();
    const size_t label = tun.options->name.find('[') + 1;
    std::string start_error;
    TunStack::Options stack_options = DnsOptionsForTun();
    // Whole seconds, rounded up: a session is never cut before its idle time.
    stack_options.udp_timeout = std::chrono::seconds((tun.options->udp_timeout_ms + 999) / 1000);
    if (!tun.device->Start(
            tun.options->name.substr(label, tun.options->name.size() - label - 1),
            [logger](const std::string& level, const std::string& message) {
              int parsed = Logger::ParseUpperLevel(level);
              logger->Log(parsed < 0 ? kInfo : parsed, message);
            },
            [outbounds](const RouteRequest& request) { return outbounds->Plan(request); },
            std::move(stack_options), &start_error)) {
      return fail("start " + tun.options->name + ": " + start_error);
    }
    logger_.Log(kInfo, tun.options->name + ": started at " + tun.device->interface_name());
  }
  for (Mixed& mixed : mixed_) {
    std::string start_error;
    if (!mixed.inbound->Start(&start_error)) {
      return fail("start " + mixed.options->name + ": " + start_error);
    }
  }
  if (clash_) {
    std::string start_error;
    if (!clash_->Start(&start_error)) {
      return fail(start_error);
    }
    logger_.Log(kInfo, "clash-api: restful api listening at " + clash_->listen_address());
  }
  outbounds_->StartUrlTests();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  char took[32];
  snprintf(took, sizeof(took), "%.2fs", seconds);
  logger_.Log(kInfo, std::string("sing-box started (") + took + ")");
  return true;
}

TunStack::Options Service::DnsOptionsForTun() {
  TunStack::Options options;
  options.totals = outbounds_->connections()->totals();
  const DnsOptions& dns = config_.dns;
  if (dns.servers.empty()) {
    return options;
  }
  const DnsServer* server = &dns.servers.front();
  for (const DnsServer& candidate : dns.servers) {
    if (!dns.final_server.empty() && candidate.tag == dns.final_server) {
      server = &candidate;
    }
  }
  options.dns_server = server->server;
  options.dns_port = static_cast<uint16_t>(server->port);
  options.dns_cache_capacity = dns.disable_cache ? 0 : static_cast<size_t>(dns.cache_capacity);
  OutboundManager* outbounds = outbounds_.get();
  const std::string detour = server->detour;
  const std::string target = server->server;
  const uint16_t port = options.dns_port;
  options.dns_plan = [outbounds, detour, target, port] {
    RouteRequest request;
    request.inbound = "dns";
    request.inbound_type = "dns";
    request.network = "udp";
    request.host = target;
    request.port = port;
    return outbounds->PlanThrough(detour, "dns", request);
  };
  return options;
}

void Service::Stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  // Cancel probes first so that controller requests waiting on them end promptly.
  if (outbounds_) {
    outbounds_->StopUrlTests();
  }
  if (clash_) {
    clash_->Stop();
    clash_.reset();
  }
  for (Mixed& mixed : mixed_) {
    mixed.inbound->Stop();
  }
  mixed_.clear();
  for (Tun& tun : tuns_) {
    tun.device->Stop();
  }
  for (Tun& tun : tuns_) {
    std::string name = tun.device->interface_name();
    tun.device.reset();
    logger_.Log(kInfo, tun.options->name + ": deleted interface " + name);
  }
  tuns_.clear();
  if (started_) {
    logger_.Log(kInfo, "sing-box stopped");
  }
  logger_.Close();
}

}  // namespace box
