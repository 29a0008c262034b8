#include "platform/platform_service.h"

#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include "base/log.h"

using korvane::ErrnoText;

PlatformInterface PlatformService::platform_interface_ = {
    &PlatformService::PlatformOpenTun,       &PlatformService::PlatformCloseTun,
    &PlatformService::PlatformProtectSocket, &PlatformService::PlatformGetInterfaces,
    &PlatformService::PlatformClearDNSCache, &PlatformService::PlatformLogMessage,
};
int PlatformService::tun_fd_ = -1;
std::string PlatformService::tun_interface_name_;
std::vector<std::string> PlatformService::original_dns_servers_;
bool PlatformService::dns_modified_ = false;

void PlatformService::Initialize() {
  // Recovery first, so the servers noted are the restored ones, not those of the crashed run.
  RecoverDNSIfNeeded();
  original_dns_servers_ = GetCurrentDNSServers();
  dns_modified_ = false;
  tun_fd_ = -1;
}

void PlatformService::Cleanup() {
  if (dns_modified_) {
    RestoreSystemDNS();
  }
  if (tun_fd_ >= 0) {
    CloseTun(tun_fd_);
  }
}

void PlatformService::LogMessage(const char* tag, const char* message) {
  korvane::LogOut() << std::string("[") + (tag ? tag : "") + "] " + (message ? message : "");
}

PlatformInterface* PlatformService::GetPlatformInterface() {
  return &platform_interface_;
}

int PlatformService::RunCommand(const std::string& program, const std::vector<std::string>& args) {
  // The strings are not copied: `args` outlives the spawn.
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);

  pid_t pid = 0;
  int error = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) {
    korvane::LogErr() << "[PlatformService] posix_spawnp failed for '" + program +
                             "': " + ErrnoText(error);
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == -1) {
    int wait_error = errno;
    korvane::LogErr() << "[PlatformService] waitpid failed for '" + program + "' (pid " +
                             std::to_string(pid) + "): " + ErrnoText(wait_error);
    return -1;
  }
  // Ended by a signal (no stop is reported without WUNTRACED).
  if ((status & 0x7f) != 0) {
    return -1;
  }
  return (status >> 8) & 0xff;
}

bool PlatformService::IsRunningAsRoot() {
  return geteuid() == 0;
}

bool PlatformService::SetupSystemProxy(const std::string& /*host*/, int /*port*/) {
  return false;
}

bool PlatformService::ClearSystemProxy() {
  return false;
}

std::filesystem::path PlatformService::CanonicalizePath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) {
    return {};
  }
  std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
  if (error) {
    return {};
  }
  return canonical;
}

int PlatformService::PlatformOpenTun(const char* name, int mtu) {
  korvane::LogOut() << std::string("libbox callback: PlatformOpenTun called with name='") +
                           (name ? name : "null") + "', mtu=" + std::to_string(mtu);
  // The engine opens its own device; the host does not open TUN devices for it yet.
  korvane::LogErr() << "[PlatformService] Opening a TUN device for the engine is not supported";
  int result = -1;
  korvane::LogOut() << "libbox callback: PlatformOpenTun returning " + std::to_string(result);
  return result;
}

void PlatformService::PlatformCloseTun(int fd) {
  CloseTun(fd);
}

int PlatformService::PlatformProtectSocket(int fd) {
  korvane::LogOut() << "libbox callback: PlatformProtectSocket called with fd=" +
                           std::to_string(fd);
  // Sockets are not marked by the host yet.
  korvane::LogErr() << "[PlatformService] Protecting sockets for the engine is not supported";
  int result = -1;
  korvane::LogOut() << "libbox callback: PlatformProtectSocket returning " + std::to_string(result);
  return result;
}

char* PlatformService::PlatformGetInterfaces() {
  std::string names = GetInterfaces();
  char* copy = static_cast<char*>(malloc(names.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, names.c_str(), names.size() + 1);
  }
  return copy;
}

void PlatformService::PlatformClearDNSCache() {
  ClearDNSCache();
}

void PlatformService::PlatformLogMessage(const char* tag, const char* message) {
  LogMessage(tag, message);
}
