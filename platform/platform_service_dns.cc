#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <system_error>

#include "platform/file_io.h"
#include "platform/platform_service.h"
#include "platform/platform_service_internal.h"

using korvane::ScopedFd;
using korvane::WriteAll;
using platform_service_internal::ErrorText;
using platform_service_internal::PrintErr;
using platform_service_internal::PrintOut;

namespace {

constexpr char kResolvConfPath[] = "/etc/resolv.conf";
// Its existence means systemd-resolved manages the resolver.
constexpr char kSystemdResolvedPath[] = "/run/systemd/resolve/resolv.conf";
constexpr char kStatusServersCommand[] = "resolvectl status | grep 'DNS Servers:' | cut -d: -f2-";
constexpr size_t kMaxDNSAddressLength = 45;
// Both files must stay readable by every user: the resolver for all programs, the lock for the
// next start of the host under whichever user.
constexpr mode_t kResolverFileMode = 0644;

// Which step of an atomic replacement failed; `error` is errno taken right after that call.
enum class WriteStep { kDone, kOpen, kWrite, kRename };

struct WriteResult {
  WriteStep failed_step = WriteStep::kDone;
  int error = 0;
};

// Replaces `path` by a file of exactly `content`: the temporary file is written, synced and
// renamed over `path`, so a reader (or the next start after a crash) sees the old file or the
// new one, never a part. Every failure after creating the temporary file removes it again.
WriteResult ReplaceFileAtomically(const char* path, const std::string& content) {
  const char* tmp_path = PlatformService::kResolvConfTmpPath;
  // A stale file of a writer that died would otherwise keep its owner and mode.
  unlink(tmp_path);
  ScopedFd fd(open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                   kResolverFileMode));
  if (fd.get() < 0) {
    return {WriteStep::kOpen, errno};
  }
  // Not subject to the umask.
  fchmod(fd.get(), kResolverFileMode);
  if (!WriteAll(fd.get(), content) || fsync(fd.get()) != 0 || fd.Close() != 0) {
    int error = errno;
    unlink(tmp_path);
    return {WriteStep::kWrite, error};
  }
  if (rename(tmp_path, path) != 0) {
    int error = errno;
    unlink(tmp_path);
    return {WriteStep::kRename, error};
  }
  return {};
}

std::optional<std::string> ReadWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
    PrintErr(std::string("[PlatformService] Failed to remove stale ") + tmp_path + ": " +
             ErrorText(error));
  }
}

int RunShell(const char* command) {
  return system(command);
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
  WriteResult result = ReplaceFileAtomically(kResolvConfPath, text);
  switch (result.failed_step) {
    case WriteStep::kDone:
      return true;
    case WriteStep::kOpen:
      PrintErr("[PlatformService] Failed to open tmp resolv.conf: " + ErrorText(result.error));
      return false;
    case WriteStep::kWrite:
      PrintErr("[PlatformService] Failed to write tmp resolv.conf");
      return false;
    case WriteStep::kRename:
      PrintErr("[PlatformService] rename() to resolv.conf failed: " + ErrorText(result.error));
      return false;
  }
  return false;
}

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
  WriteResult result = ReplaceFileAtomically(
      kResolvConfLockPath,
      RenderDNSLockFile(getpid(), static_cast<long long>(time(nullptr)), saved_content));
  switch (result.failed_step) {
    case WriteStep::kDone:
      return true;
    case WriteStep::kOpen:
      PrintErr(std::string("[PlatformService] Failed to write DNS lock file: ") +
               kResolvConfLockPath);
      return false;
    case WriteStep::kWrite:
      PrintErr("[PlatformService] Failed to flush DNS lock file");
      return false;
    case WriteStep::kRename:
      PrintErr(std::string("[PlatformService] Failed to write DNS lock file: ") +
               kResolvConfLockPath + ": " + ErrorText(result.error));
      return false;
  }
  return false;
}

std::string PlatformService::ReadDNSLockFile() {
  if (!PathExists(kResolvConfLockPath)) {
    return "";
  }
  std::ifstream in(kResolvConfLockPath, std::ios::binary);
  if (!in) {
    return "";
  }
  // The three header lines are skipped unchecked.
  std::string line;
  for (int i = 0; i < 3; ++i) {
    if (!std::getline(in, line)) {
      return "";
    }
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PlatformService::RemoveDNSLockFile() {
  std::error_code error;
  std::filesystem::remove(kResolvConfLockPath, error);
  if (error) {
    PrintErr("[PlatformService] Failed to remove DNS lock file: " + error.message());
  }
}

void PlatformService::RecoverDNSIfNeeded() {
  RemoveStaleTemporaryFile();
  std::string content = ReadDNSLockFile();
  if (content.empty()) {
    return;
  }
  PrintOut(
      "[PlatformService] DNS lock file found \xE2\x80\x94 previous process likely crashed. "
      "Restoring original resolv.conf.");
  WriteResult result = ReplaceFileAtomically(kResolvConfPath, content);
  if (result.failed_step == WriteStep::kDone) {
    PrintOut("[PlatformService] resolv.conf restored from lock file.");
  } else if (result.failed_step == WriteStep::kRename) {
    PrintErr("[PlatformService] rename() failed during DNS recovery: " + ErrorText(result.error));
  }
  // Removed even after a failed rewrite, so it is not tried again at every start.
  RemoveDNSLockFile();
}

std::vector<std::string> PlatformService::GetCurrentDNSServers() {
  std::vector<std::string> servers;
  if (HasSystemdResolved()) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(kStatusServersCommand, "r"), &pclose);
    if (pipe) {
      // Only the first "DNS Servers:" line counts.
      char line[256];
      if (fgets(line, sizeof(line), pipe.get()) != nullptr) {
        servers = SplitWords(line);
      }
    }
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
    if (std::optional<std::string> content = ReadWholeFile(kResolvConfPath)) {
      locked_here = WriteDNSLockFile(*content);
    }
  }
  if (HasSystemdResolved() && SetSystemdResolvedDNS(servers)) {
    dns_modified_ = true;
    ClearDNSCache();
    return true;
  }
  if (!WriteResolvConf(servers)) {
    // Nothing was changed, so the lock would only outlive us and, at the next start, put this
    // copy back over whatever the resolver holds by then.
    if (locked_here) {
      RemoveDNSLockFile();
    }
    return false;
  }
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
      PrintErr("[PlatformService] Skipping invalid DNS address: " + server);
    }
  }
  if (args.size() == 3) {
    PrintErr("[PlatformService] No valid DNS servers to set via resolvectl");
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
      PrintErr("[PlatformService] Refusing invalid DNS address: " + EscapeForLog(server));
      return false;
    }
  }
  if (!dns_modified_) {
    if (std::optional<std::string> content = ReadWholeFile(kResolvConfPath)) {
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
      ReplaceFileAtomically(kResolvConfPath, content).failed_step == WriteStep::kDone) {
    return finish();
  }
  if (original_dns_servers_.empty() || access(kResolvConfPath, W_OK) != 0) {
    return false;
  }
  // These servers were read from the resolver, so the C library took them as they are (a
  // scoped fe80::1%eth0 too): refuse only what would break the file.
  for (const std::string& server : original_dns_servers_) {
    if (!IsSafeResolverWord(server)) {
      PrintErr("[PlatformService] Refusing invalid DNS address: " + EscapeForLog(server));
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
    RunShell("resolvectl flush-caches 2>/dev/null");
  }
  RunShell("nscd -i hosts 2>/dev/null");
  RunShell("killall -HUP dnsmasq 2>/dev/null");
}

bool PlatformService::HasSystemdResolved() {
  return PathExists(kSystemdResolvedPath);
}

bool PlatformService::ResetSystemdResolvedDNS() {
  return RunShell("resolvectl revert 2>/dev/null") == 0;
}

bool PlatformService::IsNetworkManagerAvailable() {
  return RunShell("nmcli --version >/dev/null 2>&1") == 0;
}

bool PlatformService::DisableNetworkManagerDNS() {
  return IsNetworkManagerAvailable() &&
         RunShell("nmcli connection modify id 'Korvane' ipv4.dns-priority -1 2>/dev/null") == 0;
}

bool PlatformService::RestoreNetworkManagerDNS() {
  return IsNetworkManagerAvailable() &&
         RunShell("nmcli connection modify id 'Korvane' ipv4.dns-priority 0 2>/dev/null") == 0;
}
