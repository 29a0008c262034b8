#ifndef TESTS_SUPPORT_NET_LAB_H_
#define TESTS_SUPPORT_NET_LAB_H_

// A small network of private namespaces for tests that drive real proxy servers. The test
// process moves into a network namespace of its own first; each server host then gets a
// namespace linked to the test's by a veth pair (198.18.<n>.1 on the test's side, 198.18.<n>.2
// on the host's) and to the origin's bridge (198.19.0.<10+n>). The origin (198.19.0.1) is
// reachable only through the hosts, and sees each host's own address: which host a connection
// came through is what the origin answers on /whoami. Nothing is created in the machine's own
// namespaces; every process started is killed and every namespace goes with its processes.
//
// Test thread only (processes are started from the thread that entered the namespace).

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"

namespace korvane_test {

class NetLab {
 public:
  struct Host {
    std::string name;
    int index = 0;
    std::string address;  // where the test reaches it: 198.18.<index>.2
    std::string egress;   // what the origin sees: 198.19.0.<10+index>
    pid_t holder = -1;    // keeps the namespaces alive; everything in them ends with it
    pid_t member = -1;    // a process inside them, for entering them
  };

  // The origin's address and its ports: HTTP on each of kOriginPorts, UDP echo on
  // kOriginUdpPort.
  static constexpr char kOrigin[] = "198.19.0.1";
  static constexpr int kOriginPortBase = 8001;
  static constexpr int kOriginPortCount = 10;
  static constexpr int kOriginUdpPort = 5353;

  // Moves the calling thread, and so every process and thread it starts later, into a private
  // network namespace with loopback up. Once per process; false with *error when refused.
  static bool EnterPrivateNetwork(std::string* error);

  NetLab();
  ~NetLab();  // Stop()
  NetLab(const NetLab&) = delete;
  NetLab& operator=(const NetLab&) = delete;

  // Creates the origin's namespace and bridge and starts the origin server.
  bool Start(std::string* error);
  // A new host, linked to the test and to the origin. Null with *error on failure.
  const Host* AddHost(const std::string& name, std::string* error);
  // Starts argv inside host's namespace, output to <dir>/<log_name>.log. With `binds`, in a
  // private mount namespace where each (source, target) is bind-mounted first (a daemon that
  // insists on /etc paths). Returns the process id, or -1.
  pid_t Run(const Host& host,
            const std::vector<std::string>& argv,
            const std::string& log_name,
            const std::vector<std::pair<std::string, std::string>>& binds = {});
  // Stops one process started by Run (SIGTERM, then SIGKILL) and waits for its end.
  void Kill(pid_t pid);
  // Waits until a TCP connect from the test's namespace to address:port succeeds.
  bool WaitForPort(const std::string& address, int port, int timeout_ms = 10000);
  // The servers the lab knows how to run on a host, each listening on host.address:port and
  // connecting out from host.egress; -1 when it did not come up (the log says why).
  // ss-server (shadowsocks-libev) with TCP and UDP relay.
  pid_t StartShadowsocks(const Host& host,
                         int port,
                         const std::string& method,
                         const std::string& password);
  // danted with username authentication (its own password file, in a private mount namespace)
  // and CONNECT and UDP ASSOCIATE allowed.
  pid_t StartDante(const Host& host,
                   int port,
                   const std::string& user,
                   const std::string& password);
  // tinyproxy with Basic authentication, on `listen` (default host.address).
  pid_t StartTinyproxy(const Host& host,
                       int port,
                       const std::string& user,
                       const std::string& password,
                       const std::string& listen = "");
  // A slow link: connections to host.address:port reach target:target_port with every chunk
  // held `delay_ms` each way.
  pid_t StartDelay(const Host& host,
                   int port,
                   const std::string& target,
                   int target_port,
                   int delay_ms);

  // Kills every process and lets the namespaces go. Idempotent.
  void Stop();

  const std::string& dir() const { return dir_.path(); }
  std::string Log(const std::string& log_name) const;
  // The lab's helper program (tests/support/lab_origin).
  static std::string OriginProgram();

 private:
  pid_t SpawnHolder(pid_t* member, std::string* error);
  bool Ip(const std::string& arguments, pid_t in_namespace_of, std::string* error);

  TempDir dir_;
  pid_t origin_holder_ = -1;
  pid_t origin_member_ = -1;
  std::vector<std::unique_ptr<Host>> hosts_;
  std::vector<std::pair<pid_t, pid_t>> processes_;  // program, the child waiting for it
};

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_NET_LAB_H_
