#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <system_error>

#include "base/file_util.h"
#include "base/log.h"
#include "base/logger.h"
#include "platform/command_runner.h"
#include "platform/platform_service.h"

using korvane::ErrnoText;

namespace {

constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);

constexpr char kResolvConfPath[] = "/etc/resolv.conf";
// Its existence means systemd-resolved manages the resolver.
constexpr char kSystemdResolvedPath[] = "/run/systemd/resolve/resolv.conf";
// The line of `resolvectl status` that names the link's name servers.
constexpr char kStatusServersLabel[] = "DNS Servers:";
// The longest part of that line that is read.
constexpr size_t kStatusLineLimit = 255;
constexpr size_t kMaxDNSAddressLength = 45;
// Both files must stay readable by every user: the resolver for all programs, the lock for the
// next start of the host under whichever user.
constexpr mode_t kResolverFileMode = 0644;

// Replaces `path` (the resolver file or the lock) through the one temporary file that crash
// recovery knows to remove.
korvane::ReplaceResult ReplaceResolverFile(const char* path, const std::string& content) {
  return korvane::ReplaceFile(path, content,
                              {kResolverFileMode, PlatformService::kResolvConfTmpPath});
}

bool PathExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream stream(text);
  std::string word;
  while (stream >> word) {
    words.push_back(word);
  }
  return words;
}

// Control characters and backslashes escaped, so a refused text stays on one diagnostic line.
std::string EscapeForLog(const std::string& text) {
  std::string escaped;
  for (unsigned char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      escaped += hex;
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

// Removes the temporary file of a rewrite that a killed process left behind.
void RemoveStaleTemporaryFile() {
  const char* tmp_path = PlatformService::kResolvConfTmpPath;
  struct stat info;
  if (lstat(tmp_path, &info) != 0) {
    return;
  }
  if (unlink(tmp_path) != 0) {
    int error = errno;
    kLog.Error() << std::string("Failed to remove stale ") + tmp_path + ": " + ErrnoText(error);
  }
}

// Runs a fixed command with its errors (and, when asked, its output) discarded; its exit
// status, or -1.
int RunQuiet(const std::vector<std::string>& args, bool discard_output = false) {
  korvane::CommandOptions options;
  options.discard_output = discard_output;
  options.discard_errors = true;
  return korvane::CommandRunner::Run(args[0], args, options).status;
}

// The name servers of the first "DNS Servers:" line of `resolvectl status`: the words after
// its first colon.
std::vector<std::string> ResolvedStatusServers() {
  std::optional<std::string> status = korvane::CommandRunner::Capture({"resolvectl", "status"});
  if (!status) {
    return {};
  }
  std::istringstream lines(*status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(kStatusServersLabel) != std::string::npos) {
      return SplitWords(line.substr(line.find(':') + 1).substr(0, kStatusLineLimit));
    }
  }
  return {};
}

// A word that cannot add lines or hidden bytes to the resolver file.
bool IsSafeResolverWord(const std::string& word) {
  for (unsigned char c : word) {
    if (c < 0x20 || c == 0x7f) {
      return false;
    }
  }
  return true;
}

// Replaces the resolver file by `text`, with one diagnostic line for the step that failed.
bool ReplaceResolvConf(const std::string& text) {
  korvane::ReplaceResult result = ReplaceResolverFile(kResolvConfPath, text);
  switch (result.failed_step) {
    case korvane::ReplaceStep::kDone:
      return true;
    case korvane::ReplaceStep::kOpen:
      kLog.Error() << "Failed to open tmp resolv.conf: " << ErrnoText(result.error);
      return false;
    case korvane::ReplaceStep::kWrite:
      kLog.Error() << "Failed to write tmp resolv.conf";
      return false;
    case korvane::ReplaceStep::kRename:
      kLog.Error() << "rename() to resolv.conf failed: " << ErrnoText(result.error);
      return false;
  }
  return false;
}

// The lock file written for a change that has not happened yet: removed with its holder unless
// the change is kept. Left behind, it would only outlive us and, at the next start, put its copy
// back over whatever the resolver holds by then.
class PendingLock {
 public:
  explicit PendingLock(bool written) : written_(written) {}
  ~PendingLock() {
    if (written_) {
      PlatformService::RemoveDNSLockFile();
    }
  }
  PendingLock(const PendingLock&) = delete;
  PendingLock& operator=(const PendingLock&) = delete;

  void Keep() { written_ = false; }

 private:
  bool written_;
};

}  // namespace

bool PlatformService::IsValidDNSAddress(const std::string& address) {
  if (address.empty() || address.size() > kMaxDNSAddressLength) {
    return false;
  }
  // Compiled once; the initialisation of a function-local static is thread-safe.
  static const std::regex kPattern("^[0-9a-fA-F.:]+$", std::regex::ECMAScript);
  return std::regex_match(address, kPattern);
}

std::string PlatformService::RenderResolvConf(const std::vector<std::string>& servers) {
  std::string text = "# Generated by Korvane\n";
  for (const std::string& server : servers) {
    text += "nameserver " + server + "\n";
  }
  return text;
}

std::string PlatformService::RenderDNSLockFile(pid_t pid,
                                               long long timestamp,
                                               const std::string& saved_content) {
  return "# korvane-dns-lock\n# pid=" + std::to_string(pid) +
         "\n# timestamp=" + std::to_string(timestamp) + "\n" + saved_content;
}

bool PlatformService::WriteDNSLockFile(const std::string& saved_content) {
  // Written whole through the temporary file: a crash while writing must not leave a lock whose
  // saved part is cut short, which the next start would put in place of the resolver.
  korvane::ReplaceResult result = ReplaceResolverFile(
      kResolvConfLockPath,
      RenderDNSLockFile(getpid(), static_cast<long long>(time(nullptr)), saved_content));
  switch (result.failed_step) {
    case korvane::ReplaceStep::kDone:
      return true;
    case korvane::ReplaceStep::kOpen:
      kLog.Error() << std::string("Failed to write DNS lock file: ") + kResolvConfLockPath;
      return false;
    case korvane::ReplaceStep::kWrite:
      kLog.Error() << "Failed to flush DNS lock file";
      return false;
    case korvane::ReplaceStep::kRename:
      kLog.Error() << std::string("Failed to write DNS lock file: ") + kResolvConfLockPath + ": " +
                          ErrnoText(result.error);
      return false;
  }
  return false;
}

std::string PlatformService::ReadDNSLockFile() {
  if (!PathExists(kResolvConfLockPath)) {
    return "";
  }
  std::optional<std::string> text = korvane::ReadWholeFile(kResolvConfLockPath);
  if (!text) {
    return "";
  }
  // The three header lines are skipped unchecked.
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (pos >= text->size()) {
      return "";
    }
    size_t end = text->find('\n', pos);
    pos = end == std::string::npos ? text->size() : end + 1;
  }
  return text->substr(pos);
}

void PlatformService::RemoveDNSLockFile() {
  std::error_code error;
  std::filesystem::remove(kResolvConfLockPath, error);
  if (error) {
    kLog.Error() << "Failed to remove DNS lock file: " + error.message();
  }
}

void PlatformService::RecoverDNSIfNeeded() {
  RemoveStaleTemporaryFile();
  std::string content = ReadDNSLockFile();
  if (content.empty()) {
    return;
  }
  kLog.Info() << "DNS lock file found \xE2\x80\x94 previous process likely crashed. "
                 "Restoring original resolv.conf.";
  korvane::ReplaceResult result = ReplaceResolverFile(kResolvConfPath, content);
  if (result.failed_step == korvane::ReplaceStep::kDone) {
    kLog.Info() << "resolv.conf restored from lock file.";
  } else if (result.failed_step == korvane::ReplaceStep::kRename) {
    kLog.Error() << "rename() failed during DNS recovery: " + ErrnoText(result.error);
  }
  // Removed even after a failed rewrite, so it is not tried again at every start.
  RemoveDNSLockFile();
}

std::vector<std::string> PlatformService::GetCurrentDNSServers() {
  std::vector<std::string> servers;
  if (HasSystemdResolved()) {
    servers = ResolvedStatusServers();
  }
  if (servers.empty()) {
    std::ifstream in(kResolvConfPath);
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, 10, "nameserver") != 0) {
        continue;
      }
      std::vector<std::string> words = SplitWords(line);
      if (words.size() >= 2) {
        servers.push_back(words[1]);
      }
    }
  }
  return servers;
}

bool PlatformService::SetSystemDNS(const std::vector<std::string>& servers) {
  bool locked_here = false;
  if (!dns_modified_) {
    original_dns_servers_ = GetCurrentDNSServers();
    // Recorded before anything changes.
    if (std::optional<std::string> content = korvane::ReadWholeFile(kResolvConfPath)) {
      locked_here = WriteDNSLockFile(*content);
    }
  }
  PendingLock lock(locked_here);
  if (HasSystemdResolved() && SetSystemdResolvedDNS(servers)) {
    lock.Keep();
    dns_modified_ = true;
    ClearDNSCache();
    return true;
  }
  if (!WriteResolvConf(servers)) {
    return false;
  }
  lock.Keep();
  dns_modified_ = true;
  ClearDNSCache();
  return true;
}

bool PlatformService::SetSystemdResolvedDNS(const std::vector<std::string>& servers) {
  std::string link;
  for (const std::string& name : ListNetworkInterfaces()) {
    if (name != "lo" && name.compare(0, 3, "tun") != 0 && name.compare(0, 3, "tap") != 0) {
      link = name;
      break;
    }
  }
  if (link.empty()) {
    return false;
  }
  std::vector<std::string> args = {"resolvectl", "dns", link};
  for (const std::string& server : servers) {
    if (IsValidDNSAddress(server)) {
      args.push_back(server);
    } else {
      kLog.Error() << "Skipping invalid DNS address: " + server;
    }
  }
  if (args.size() == 3) {
    kLog.Error() << "No valid DNS servers to set via resolvectl";
    return false;
  }
  return RunCommand("resolvectl", args) == 0;
}

bool PlatformService::WriteResolvConf(const std::vector<std::string>& servers) {
  if (access(kResolvConfPath, W_OK) != 0) {
    return false;
  }
  // A text with a line break would add lines of its own to the system resolver.
  for (const std::string& server : servers) {
    if (!IsValidDNSAddress(server)) {
      kLog.Error() << "Refusing invalid DNS address: " + EscapeForLog(server);
      return false;
    }
  }
  if (!dns_modified_) {
    if (std::optional<std::string> content = korvane::ReadWholeFile(kResolvConfPath)) {
      WriteDNSLockFile(*content);
    }
  }
  return ReplaceResolvConf(RenderResolvConf(servers));
}

bool PlatformService::RestoreSystemDNS() {
  if (!dns_modified_) {
    return true;
  }
  auto finish = [] {
    dns_modified_ = false;
    RemoveDNSLockFile();
    ClearDNSCache();
    return true;
  };
  if (HasSystemdResolved() && ResetSystemdResolvedDNS()) {
    return finish();
  }
  std::string content = ReadDNSLockFile();
  if (!content.empty() &&
      ReplaceResolverFile(kResolvConfPath, content).failed_step == korvane::ReplaceStep::kDone) {
    return finish();
  }
  if (original_dns_servers_.empty() || access(kResolvConfPath, W_OK) != 0) {
    return false;
  }
  // These servers were read from the resolver, so the C library took them as they are (a
  // scoped fe80::1%eth0 too): refuse only what would break the file.
  for (const std::string& server : original_dns_servers_) {
    if (!IsSafeResolverWord(server)) {
      kLog.Error() << "Refusing invalid DNS address: " + EscapeForLog(server);
      return false;
    }
  }
  if (!ReplaceResolvConf(RenderResolvConf(original_dns_servers_))) {
    return false;
  }
  return finish();
}

void PlatformService::ClearDNSCache() {
  if (HasSystemdResolved()) {
    RunQuiet({"resolvectl", "flush-caches"});
  }
  RunQuiet({"nscd", "-i", "hosts"});
  RunQuiet({"killall", "-HUP", "dnsmasq"});
}

bool PlatformService::HasSystemdResolved() {
  return PathExists(kSystemdResolvedPath);
}

bool PlatformService::ResetSystemdResolvedDNS() {
  return RunQuiet({"resolvectl", "revert"}) == 0;
}

bool PlatformService::IsNetworkManagerAvailable() {
  return RunQuiet({"nmcli", "--version"}, true) == 0;
}

bool PlatformService::DisableNetworkManagerDNS() {
  return IsNetworkManagerAvailable() && RunQuiet({"nmcli", "connection", "modify", "id", "Korvane",
                                                  "ipv4.dns-priority", "-1"}) == 0;
}

bool PlatformService::RestoreNetworkManagerDNS() {
  return IsNetworkManagerAvailable() && RunQuiet({"nmcli", "connection", "modify", "id", "Korvane",
                                                  "ipv4.dns-priority", "0"}) == 0;
}
