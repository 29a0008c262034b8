// The TUN device operations against the kernel's TUN driver and the real `ip`, each run in a
// private network namespace: names cut to 15 characters, a busy name deleted and retried once,
// the MTU, the non-blocking descriptor, address and flags, the device record, socket marks, the
// interface list, the callback wrappers and the two bare C functions.

#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/capability.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/network/tun_interface.h"
#include "platform/platform_service.h"
#include "tests/platform/namespace_helper.h"
#include "tests/support/shell_command.h"

namespace korvane_test {
namespace {

class PlatformServiceTunTest : public ::testing::Test {
 protected:
  void TearDown() override { PlatformService::ResetForTesting(); }
};

// The MTU `ip link` reports for `name`, or -1 when the interface is not there.
int LinkMtu(const std::string& name) {
  std::string line = ShellOutput("ip -o link show dev '" + name + "'");
  size_t at = line.find(" mtu ");
  return at == std::string::npos ? -1 : atoi(line.c_str() + at + 5);
}

bool LinkExists(const std::string& name) {
  return if_nametoindex(name.c_str()) != 0;
}

std::string OpenedLine(const std::string& name, int fd) {
  return "TUN device opened: " + name + " (fd=" + std::to_string(fd) + ")\n";
}

struct OpenCase {
  const char* what;
  const char* name;
  int mtu;
  // The interface the kernel makes ("" for a name of its choice, which starts with "tun").
  std::string interface;
  int expected_mtu;
  std::string err;
};

TEST_F(PlatformServiceTunTest, OpenTunNamesSizesAndRecordsTheDevice) {
  RunIsolated(Isolation(), [] {
    const std::vector<OpenCase> cases = {
        // 16 and more characters are cut to the first 15; 15 stay whole.
        {"long name", "korvane-tun-device-0", 0, "korvane-tun-dev", 1500, ""},
        {"sixteen", "abcdefghijklmnop", 1400, "abcdefghijklmno", 1400, ""},
        {"fifteen", "abcdefghijklmn5", 9000, "abcdefghijklmn5", 9000, ""},
        // 0 and less leave the driver's default; 1500 is set (the default, see 1280 below).
        {"mtu 0", "kmtu0", 0, "kmtu0", 1500, ""},
        {"mtu -1", "kmtu1", -1, "kmtu1", 1500, ""},
        {"mtu 1280", "kmtu2", 1280, "kmtu2", 1280, ""},
        {"mtu 1500", "kmtu3", 1500, "kmtu3", 1500, ""},
        // An MTU the kernel refuses is reported and the device opened all the same.
        {"mtu too small", "kmtu4", 20, "kmtu4", 1500, "Failed to set MTU: Invalid argument\n"},
        // No name, or an empty one: the kernel chooses.
        {"null name", nullptr, 1400, "", 1400, ""},
        {"empty name", "", 0, "", 1500, ""},
    };
    for (const OpenCase& c : cases) {
      SCOPED_TRACE(c.what);
      int fd = -1;
      Output output = CaptureOutput([&] { fd = PlatformService::OpenTun(c.name, c.mtu); });
      ASSERT_GE(fd, 0) << output.err;
      std::string name = c.interface;
      if (name.empty()) {
        const std::string prefix = "TUN device opened: ";
        ASSERT_EQ(output.out.rfind(prefix + "tun", 0), 0u) << output.out;
        name =
            output.out.substr(prefix.size(), output.out.find(' ', prefix.size()) - prefix.size());
      }
      EXPECT_EQ(output.out, OpenedLine(name, fd));
      EXPECT_EQ(output.err, c.err);
      EXPECT_EQ(LinkMtu(name), c.expected_mtu);
      EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
      EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

      // The record holds this device: closing without a descriptor deletes exactly this
      // interface.
      Output closed = CaptureOutput([] { PlatformService::CloseTun(-1); });
      EXPECT_EQ(closed.out, "TUN interface " + name + " deleted\n");
      EXPECT_EQ(closed.err, "");
      EXPECT_FALSE(LinkExists(name));
      close(fd);
    }
  });
}

TEST_F(PlatformServiceTunTest, BusyNameIsDeletedWithIpAndRetriedOnce) {
  RunIsolated(Isolation(), [] {
    // Another descriptor holds the interface, as a stale engine would.
    int holder = -1;
    Output created = CaptureOutput([&] { holder = create_tun_interface("kbusy0"); });
    ASSERT_GE(holder, 0) << created.out;
    EXPECT_EQ(created.out, "Created TUN interface: kbusy0 (fd=" + std::to_string(holder) + ")\n");
    const unsigned stale_index = if_nametoindex("kbusy0");
    ASSERT_NE(stale_index, 0u);

    int fd = -1;
    Output output = CaptureOutput([&] { fd = PlatformService::OpenTun("kbusy0", 1400); });
    ASSERT_GE(fd, 0) << output.err;
    EXPECT_EQ(output.err, "TUN interface kbusy0 busy, attempting cleanup\n");
    EXPECT_EQ(output.out, OpenedLine("kbusy0", fd));
    // A new interface of that name, made after the stale one was deleted.
    const unsigned new_index = if_nametoindex("kbusy0");
    EXPECT_NE(new_index, 0u);
    EXPECT_NE(new_index, stale_index);
    EXPECT_EQ(LinkMtu("kbusy0"), 1400);
    Output closed_holder = CaptureOutput([&] { close_tun_interface(holder); });
    EXPECT_EQ(closed_holder.out, "Closed TUN interface (fd=" + std::to_string(holder) + ")\n");
    CaptureOutput([&] { PlatformService::CloseTun(fd); });
    EXPECT_FALSE(LinkExists("kbusy0"));

    // A long busy name: the command names the interface as the kernel knows it.
    holder = create_tun_interface("kbusy-long-name-x");
    ASSERT_GE(holder, 0);
    output = CaptureOutput([&] { fd = PlatformService::OpenTun("kbusy-long-name-x", 0); });
    ASSERT_GE(fd, 0) << output.err;
    EXPECT_EQ(output.err, "TUN interface kbusy-long-name-x busy, attempting cleanup\n");
    EXPECT_EQ(output.out, OpenedLine("kbusy-long-name", fd));
    close_tun_interface(holder);
    CaptureOutput([&] { PlatformService::CloseTun(fd); });

    // When `ip` fails the open fails: the exit code is named and nothing is recorded.
    holder = create_tun_interface("kbusy1");
    ASSERT_GE(holder, 0);
    const unsigned held_index = if_nametoindex("kbusy1");
    const std::string path = getenv("PATH");
    ASSERT_EQ(mkdir("/tmp/failing-ip", 0755), 0);
    WriteFile("/tmp/failing-ip/ip", "#!/bin/sh\necho \"$@\" >> /tmp/failing-ip/calls\nexit 1\n",
              0755);
    setenv("PATH", ("/tmp/failing-ip:" + path).c_str(), 1);
    fd = 0;
    output = CaptureOutput([&] { fd = PlatformService::OpenTun("kbusy1", 0); });
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(output.err,
              "TUN interface kbusy1 busy, attempting cleanup\n"
              "Failed to delete stale TUN interface kbusy1, command exit code: 1\n");
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(ReadFile("/tmp/failing-ip/calls"), "link delete kbusy1\n");
    EXPECT_EQ(if_nametoindex("kbusy1"), held_index);
    Output nothing = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(nothing.out + nothing.err, "");
    close_tun_interface(holder);

    // A name taken by an interface of another kind is no stale TUN device: not deleted.
    ASSERT_EQ(system("ip link add kbridge0 type bridge"), 0);
    fd = 0;
    output = CaptureOutput([&] { fd = PlatformService::OpenTun("kbridge0", 0); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(output.err, "Failed to configure TUN device: Invalid argument\n");
    EXPECT_TRUE(LinkExists("kbridge0"));
  });
}

TEST_F(PlatformServiceTunTest, ConfigureTunSetsAddressNetmaskAndUpFlags) {
  RunIsolated(Isolation(), [] {
    struct Case {
      const char* address;
      int prefix;
      const char* shown;
    };
    const std::vector<Case> cases = {
        {"10.77.0.1", 24, "inet 10.77.0.1/24 "},
        {"172.16.5.9", 32, "inet 172.16.5.9/32 "},
        {"10.1.2.3", 8, "inet 10.1.2.3/8 "},
        {"192.168.100.2", 30, "inet 192.168.100.2/30 "},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.shown);
      int fd = -1;
      CaptureOutput([&] { fd = PlatformService::OpenTun("kcfg0", 1400); });
      ASSERT_GE(fd, 0);
      EXPECT_EQ(ShellOutput("ip -o -4 addr show dev kcfg0"), "");
      bool configured = false;
      Output output = CaptureOutput(
          [&] { configured = PlatformService::ConfigureTun(fd, c.address, c.prefix); });
      EXPECT_TRUE(configured) << output.err;
      EXPECT_EQ(output.out + output.err, "");
      const std::string addresses = ShellOutput("ip -o -4 addr show dev kcfg0");
      EXPECT_NE(addresses.find(c.shown), std::string::npos) << addresses;
      const std::string link = ShellOutput("ip -o link show dev kcfg0");
      EXPECT_NE(link.find(",UP,"), std::string::npos) << link;
      CaptureOutput([&] { PlatformService::CloseTun(fd); });
    }

    // Refused before anything changes: no prefix, a prefix past 32, text that is no IPv4.
    int fd = -1;
    CaptureOutput([&] { fd = PlatformService::OpenTun("kcfg1", 0); });
    ASSERT_GE(fd, 0);
    struct Refused {
      const char* address;
      int prefix;
    };
    for (const Refused& r : std::vector<Refused>{
             {"10.0.0.1", 0}, {"10.0.0.1", 33}, {"10.0.0.1", -8}, {"10.0.0", 24}, {"::1", 64}}) {
      bool configured = true;
      Output output = CaptureOutput(
          [&] { configured = PlatformService::ConfigureTun(fd, r.address, r.prefix); });
      EXPECT_FALSE(configured) << r.address << "/" << r.prefix;
      EXPECT_EQ(output.err, std::string("Invalid TUN address: ") + r.address + "/" +
                                std::to_string(r.prefix) + "\n");
    }
    EXPECT_EQ(ShellOutput("ip -o -4 addr show dev kcfg1"), "");
    EXPECT_EQ(ShellOutput("ip -o link show dev kcfg1").find(",UP"), std::string::npos);

    // A descriptor that is no TUN device has no interface name.
    int not_tun = open("/dev/null", O_RDWR | O_CLOEXEC);
    bool configured = true;
    Output output =
        CaptureOutput([&] { configured = PlatformService::ConfigureTun(not_tun, "10.0.0.1", 24); });
    EXPECT_FALSE(configured);
    EXPECT_EQ(output.err.rfind("Failed to get TUN interface name: ", 0), 0u) << output.err;
    close(not_tun);

    // Routes are the engine's: none is installed.
    const std::string routes = ShellOutput("ip route show table all");
    EXPECT_TRUE(PlatformService::SetupRoutes(fd));
    EXPECT_EQ(ShellOutput("ip route show table all"), routes);
    CaptureOutput([&] { PlatformService::CloseTun(fd); });
  });
}

TEST_F(PlatformServiceTunTest, CloseTunDeletesTheRecordedInterfaceOnceAndCleanupClosesIt) {
  RunIsolated(Isolation(), [] {
    int fd = -1;
    CaptureOutput([&] { fd = PlatformService::OpenTun("kclose0", 0); });
    ASSERT_GE(fd, 0);
    // No descriptor given: the recorded interface goes, the descriptor stays open.
    Output first = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(first.out, "TUN interface kclose0 deleted\n");
    EXPECT_EQ(first.err, "");
    EXPECT_FALSE(LinkExists("kclose0"));
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    Output second = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(second.out + second.err, "");
    close(fd);

    // Shut-down closes a device that is still open. The device is not persistent, so the
    // interface goes with its descriptor and `ip` finds nothing left to delete.
    CaptureOutput([&] { fd = PlatformService::OpenTun("kclean0", 1400); });
    ASSERT_GE(fd, 0);
    Output cleanup = CaptureOutput([] { PlatformService::Cleanup(); });
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_FALSE(LinkExists("kclean0"));
    EXPECT_EQ(cleanup.out, "");
    EXPECT_NE(cleanup.err.find("Failed to delete TUN interface kclean0 (may already be gone)\n"),
              std::string::npos)
        << cleanup.err;
    Output again = CaptureOutput([] { PlatformService::Cleanup(); });
    EXPECT_EQ(again.out + again.err, "");
  });
}

int SocketMark(int fd) {
  int mark = -1;
  socklen_t length = sizeof(mark);
  if (getsockopt(fd, SOL_SOCKET, SO_MARK, &mark, &length) != 0) {
    return -1;
  }
  return mark;
}

// Clears CAP_NET_ADMIN and CAP_NET_RAW (either allows SO_MARK) from the effective set.
bool DropNetworkCapabilities() {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    return false;
  }
  const cap_value_t dropped[] = {CAP_NET_ADMIN, CAP_NET_RAW};
  bool ok = cap_set_flag(caps, CAP_EFFECTIVE, 2, dropped, CAP_CLEAR) == 0 &&
            cap_set_flag(caps, CAP_PERMITTED, 2, dropped, CAP_CLEAR) == 0 &&
            cap_set_proc(caps) == 0;
  cap_free(caps);
  return ok;
}

TEST_F(PlatformServiceTunTest, ProtectSocketMarksWithTheCapabilityAndFailsWithoutIt) {
  RunIsolated(Isolation(), [] {
    PlatformInterface* table = PlatformService::GetPlatformInterface();
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
      int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
      ASSERT_GE(fd, 0);
      int result = -1;
      Output output = CaptureOutput([&] { result = PlatformService::ProtectSocket(fd); });
      EXPECT_EQ(result, 0);
      EXPECT_EQ(output.out + output.err, "");
      EXPECT_EQ(SocketMark(fd), 0x1337);
      close(fd);
    }

    // Through the callback table, with its two lines.
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int result = -1;
    Output wrapped = CaptureOutput([&] { result = table->protect_socket(fd); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(wrapped.out,
              "libbox callback: PlatformProtectSocket called with fd=" + std::to_string(fd) +
                  "\nlibbox callback: PlatformProtectSocket returning 0\n");
    EXPECT_EQ(SocketMark(fd), 4919);
    close(fd);

    // Not a socket.
    Output bad = CaptureOutput([&] { result = PlatformService::ProtectSocket(-1); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(bad.err, "Failed to mark socket: Bad file descriptor\n");

    // Still root, without the network capabilities.
    ASSERT_TRUE(DropNetworkCapabilities());
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    Output refused = CaptureOutput([&] { result = table->protect_socket(fd); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(refused.err, "Failed to mark socket: Operation not permitted\n");
    EXPECT_EQ(refused.out,
              "libbox callback: PlatformProtectSocket called with fd=" + std::to_string(fd) +
                  "\nlibbox callback: PlatformProtectSocket returning -1\n");
    EXPECT_EQ(SocketMark(fd), 0);
    close(fd);
  });
}

TEST_F(PlatformServiceTunTest, InterfacesWithAnAddressEachOnceInKernelOrder) {
  Isolation isolation;
  // Made in this order after lo: an address-less TUN device, then one with IPv4 only.
  isolation.interfaces = {{"kbare0", ""}, {"kv4only0", "10.5.0.1/24"}};
  RunIsolated(isolation, [] {
    // A second IPv4 address, and lo holds both 127.0.0.1 and ::1: each name still once.
    ASSERT_EQ(system("ip addr add 10.6.0.1/16 dev kv4only0"), 0);
    ASSERT_NE(ShellOutput("ip -o -6 addr show dev lo").find("inet6 ::1/128"), std::string::npos);
    EXPECT_EQ(PlatformService::ListNetworkInterfaces(),
              (std::vector<std::string>{"lo", "kv4only0"}));
    EXPECT_EQ(PlatformService::GetInterfaces(), "lo,kv4only0");
    char* names = PlatformService::GetPlatformInterface()->get_interfaces();
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names, "lo,kv4only0");
    free(names);

    // The list follows addresses, not link state: lo down keeps 127.0.0.1, and an interface
    // whose addresses are flushed drops out.
    ASSERT_EQ(system("ip link set lo down && ip addr flush dev kv4only0"), 0);
    EXPECT_EQ(PlatformService::GetInterfaces(), "lo");
  });
}

TEST_F(PlatformServiceTunTest, CallbackOpenTunLogsAroundTheOpen) {
  RunIsolated(Isolation(), [] {
    PlatformInterface* table = PlatformService::GetPlatformInterface();
    int fd = -1;
    Output output = CaptureOutput([&] { fd = table->open_tun(nullptr, 1400); });
    ASSERT_GE(fd, 0) << output.err;
    const std::string before =
        "libbox callback: PlatformOpenTun called with name='null', mtu=1400\n";
    const std::string opened = "TUN device opened: ";
    ASSERT_EQ(output.out.rfind(before + opened + "tun", 0), 0u) << output.out;
    const size_t name_at = before.size() + opened.size();
    const std::string name = output.out.substr(name_at, output.out.find(' ', name_at) - name_at);
    EXPECT_EQ(output.out, before + OpenedLine(name, fd) +
                              "libbox callback: PlatformOpenTun returning " + std::to_string(fd) +
                              "\n");
    EXPECT_EQ(LinkMtu(name), 1400);
    // The table's close slot ends the record without a line of its own.
    Output closed = CaptureOutput([&] { table->close_tun(-1); });
    EXPECT_EQ(closed.out, "TUN interface " + name + " deleted\n");
    EXPECT_FALSE(LinkExists(name));
    close(fd);

    // A failure is passed through: -1 between the two lines.
    ASSERT_EQ(system("ip link add kbridge1 type bridge"), 0);
    Output failed = CaptureOutput([&] { fd = table->open_tun("kbridge1", 0); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(failed.out,
              "libbox callback: PlatformOpenTun called with name='kbridge1', mtu=0\n"
              "libbox callback: PlatformOpenTun returning -1\n");
  });
}

TEST_F(PlatformServiceTunTest, BareCFunctionsOpenAndCloseWithTheirLines) {
  RunIsolated(Isolation(), [] {
    int fd = -1;
    Output output = CaptureOutput([&] { fd = create_tun_interface("kbare-c-function-name"); });
    ASSERT_GE(fd, 0) << output.out;
    EXPECT_EQ(output.out,
              "Created TUN interface: kbare-c-functio (fd=" + std::to_string(fd) + ")\n");
    // Bare: blocking, not recorded, not sized.
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    Output no_record = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(no_record.out + no_record.err, "");
    Output closed = CaptureOutput([&] { close_tun_interface(fd); });
    EXPECT_EQ(closed.out, "Closed TUN interface (fd=" + std::to_string(fd) + ")\n");
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    // Not persistent: the interface went with its only descriptor.
    EXPECT_FALSE(LinkExists("kbare-c-functio"));
    Output ignored = CaptureOutput([] { close_tun_interface(-1); });
    EXPECT_EQ(ignored.out, "");

    Output chosen = CaptureOutput([&] { fd = create_tun_interface(nullptr); });
    ASSERT_GE(fd, 0);
    EXPECT_EQ(chosen.out.rfind("Created TUN interface: tun", 0), 0u) << chosen.out;
    close_tun_interface(fd);

    ASSERT_EQ(system("ip link add kbridge2 type bridge"), 0);
    Output refused = CaptureOutput([&] { fd = create_tun_interface("kbridge2"); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(refused.out, "Failed to create TUN interface: Invalid argument\n");

    // Without the device node (hidden by an empty tmpfs in this private mount namespace).
    ASSERT_EQ(mount("tmpfs", "/dev/net", "tmpfs", 0, "mode=0755"), 0);
    Output missing = CaptureOutput([&] { fd = create_tun_interface("kgone0"); });
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(missing.out, "Failed to open /dev/net/tun: No such file or directory\n");
    int open_result = 0;
    Output open_missing =
        CaptureOutput([&] { open_result = PlatformService::OpenTun("kgone0", 1400); });
    EXPECT_EQ(open_result, -1);
    EXPECT_EQ(open_missing.err, "Failed to open /dev/net/tun: No such file or directory\n");
    umount("/dev/net");
  });
}

// What an engine binding links against is not offered to every library the process loads.
TEST(TunInterfaceSymbolsTest, CFunctionsAreInTheExecutableButNotItsDynamicSymbols) {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);
  const std::string executable = std::string(bundle) + "/korvane";
  const std::string symbols = ShellOutput("readelf --syms -W '" + executable + "'");
  const std::string dynamic = ShellOutput("readelf --dyn-syms -W '" + executable + "'");
  const std::string nm_dynamic = ShellOutput("nm -D '" + executable + "'");
  ASSERT_NE(dynamic.find("Symbol table '.dynsym'"), std::string::npos) << dynamic;
  for (const char* name : {"create_tun_interface", "close_tun_interface"}) {
    // Defined in the executable, hidden (so not exported even when linked with -rdynamic)...
    bool defined_hidden = false;
    std::istringstream lines(symbols);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.size() > strlen(name) &&
          line.compare(line.size() - strlen(name) - 1, std::string::npos,
                       std::string(" ") + name) == 0) {
        defined_hidden = line.find(" FUNC ") != std::string::npos &&
                         line.find(" HIDDEN ") != std::string::npos &&
                         line.find(" UND ") == std::string::npos;
      }
    }
    EXPECT_TRUE(defined_hidden) << name;
    // ...and absent from the dynamic symbol table.
    EXPECT_EQ(dynamic.find(name), std::string::npos) << name;
    EXPECT_EQ(nm_dynamic.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace korvane_test
