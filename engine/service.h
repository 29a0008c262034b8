// One engine service: created from a configuration (resources acquired), started (log, inbound
// loops, controller, urltest checks), stopped (everything released). Callers serialise calls.
#ifndef ENGINE_SERVICE_H_
#define ENGINE_SERVICE_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/box_config.h"
#include "engine/clash_server.h"
#include "engine/logger.h"
#include "engine/mixed_inbound.h"
#include "engine/outbound_manager.h"
#include "engine/tun_inbound.h"

namespace box {

class Service {
 public:
  // Checks the configuration, creates the TUN interfaces and binds every listening socket.
  // A relative log output is opened in `working_directory` (absolute). On failure returns
  // nullptr with the engine's text in *error; nothing is left behind.
  static std::unique_ptr<Service> Create(const std::string& config_json,
                                         const std::string& working_directory,
                                         std::string* error);
  ~Service();  // Stop()

  // Opens the log and starts serving. On failure the service is left stopped, with the text in
  // *error (also written to the log when it is open).
  bool Start(std::string* error);
  // Stops serving and releases every socket, descriptor and interface. Idempotent.
  void Stop();

 private:
  struct Mixed {
    const InboundOptions* options;
    std::unique_ptr<MixedInbound> inbound;
  };
  struct Tun {
    const InboundOptions* options;
    std::unique_ptr<TunInbound> device;
  };

  Service();
  bool Acquire(std::string* error);
  // The TUN stack's DNS fields from the dns section (its final server, else the first).
  TunStack::Options DnsOptionsForTun();

  Config config_;
  std::string working_directory_;
  Logger logger_;
  std::unique_ptr<OutboundManager> outbounds_;
  std::vector<Tun> tuns_;
  std::vector<Mixed> mixed_;
  std::unique_ptr<ClashServer> clash_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace box

#endif  // ENGINE_SERVICE_H_
