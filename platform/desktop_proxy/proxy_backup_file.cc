#include "platform/desktop_proxy/proxy_backup_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "base/file_util.h"
#include "base/log.h"
#include "base/logger.h"
#include "base/scoped_fd.h"

namespace {

constexpr korvane::Logger kLog(korvane::kProxyManagerTag);

constexpr const char* kHeader = "korvane-proxy-backup 2";
// Written by earlier versions: no owner and port lines.
constexpr const char* kHeaderVersion1 = "korvane-proxy-backup 1";
// Larger than any real record; bounds what a damaged file can make us read.
constexpr size_t kMaxFileSize = 64 * 1024;

using korvane::kDesktopGnome;
using korvane::kDesktopKde;
using korvane::ProxyField;

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      return std::nullopt;
    }
    if (text[i] == '\\') {
      out += '\\';
    } else if (text[i] == 'n') {
      out += '\n';
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// A decimal number of digits only, within `max`.
std::optional<unsigned long long> ParseDecimal(const std::string& text, unsigned long long max) {
  if (text.empty() || text.size() > 20) {
    return std::nullopt;
  }
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    unsigned long long digit = static_cast<unsigned long long>(c - '0');
    if (value > (max - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

// The "owner=" and "port=" lines of a version 2 record (its lines 2 and 3).
bool ParseOwnerAndPort(const std::vector<std::string>& lines, ProxyBackupRecord* record) {
  if (lines.size() < 3 || lines[1].rfind("owner=", 0) != 0 || lines[2].rfind("port=", 0) != 0) {
    return false;
  }
  std::string owner = lines[1].substr(6);
  size_t space = owner.find(' ');
  if (space == std::string::npos) {
    return false;
  }
  std::optional<unsigned long long> pid = ParseDecimal(owner.substr(0, space), 4194304);
  std::optional<unsigned long long> start = ParseDecimal(owner.substr(space + 1), ~0ULL);
  std::optional<unsigned long long> port = ParseDecimal(lines[2].substr(5), 65535);
  if (!pid || !start || !port) {
    return false;
  }
  record->owner.pid = static_cast<pid_t>(*pid);
  record->owner.start_time = *start;
  record->port = static_cast<int>(*port);
  return true;
}

// The state and start time of a process from /proc/<pid>/stat; false when it cannot be read.
bool ReadProcessStat(pid_t pid, char* state, unsigned long long* start_time) {
  korvane::ScopedFd fd(
      open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return false;
  }
  char buffer[1024];
  ssize_t n;
  do {
    n = read(fd.get(), buffer, sizeof(buffer) - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    return false;
  }
  std::string text(buffer, static_cast<size_t>(n));
  // The command name in parentheses may hold spaces and parentheses itself.
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) {
    return false;
  }
  std::vector<std::string> fields;
  for (size_t start = paren + 1; start < text.size();) {
    size_t end = text.find_first_of(" \n", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (end > start) {
      fields.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  // fields[0] is field 3 (the state), so field 22 is fields[19].
  if (fields.size() < 20 || fields[0].size() != 1) {
    return false;
  }
  std::optional<unsigned long long> start = ParseDecimal(fields[19], ~0ULL);
  if (!start) {
    return false;
  }
  *state = fields[0][0];
  *start_time = *start;
  return true;
}

}  // namespace

std::string ProxyBackupFile::Path() {
  return korvane::ConfigDirectory() + "/" + kFileName;
}

ProxyRecordOwner ProxyBackupFile::CurrentProcess() {
  ProxyRecordOwner owner;
  char state = 0;
  if (ReadProcessStat(getpid(), &state, &owner.start_time)) {
    owner.pid = getpid();
  }
  return owner;
}

bool ProxyBackupFile::IsRunning(const ProxyRecordOwner& owner) {
  char state = 0;
  unsigned long long start_time = 0;
  return owner.pid > 0 && ReadProcessStat(owner.pid, &state, &start_time) &&
         start_time == owner.start_time && state != 'Z' && state != 'X';
}

bool ProxyBackupFile::IsCurrentProcess(const ProxyRecordOwner& owner) {
  ProxyRecordOwner self = CurrentProcess();
  return self.pid > 0 && owner.pid == self.pid && owner.start_time == self.start_time;
}

std::string ProxyBackupFile::Render(const ProxyBackupRecord& record) {
  bool kde = record.desktop == kDesktopKde;
  std::string out = std::string(kHeader) + "\n" + "owner=" + std::to_string(record.owner.pid) +
                    " " + std::to_string(record.owner.start_time) + "\n" +
                    "port=" + std::to_string(record.port) + "\n" +
                    "desktop=" + (kde ? "kde" : "gnome") + "\n";
  for (const ProxyField& field : korvane::ProxyFieldsOf(record.desktop)) {
    out += std::string(field.record_name) + "=" + Escape(record.settings.*field.member) + "\n";
  }
  return out;
}

std::optional<ProxyBackupRecord> ProxyBackupFile::Parse(const std::string& text) {
  if (text.empty() || text.back() != '\n') {
    return std::nullopt;
  }
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  ProxyBackupRecord record;
  if (lines.empty() || (lines[0] != kHeader && lines[0] != kHeaderVersion1)) {
    return std::nullopt;
  }
  size_t next = 1;
  // A version 1 record keeps the owner unknown (gone) and the port unknown (any).
  if (lines[0] == kHeader) {
    if (!ParseOwnerAndPort(lines, &record)) {
      return std::nullopt;
    }
    next = 3;
  }
  if (lines.size() <= next) {
    return std::nullopt;
  }
  if (lines[next] == "desktop=gnome") {
    record.desktop = kDesktopGnome;
  } else if (lines[next] == "desktop=kde") {
    record.desktop = kDesktopKde;
  } else {
    return std::nullopt;
  }
  ++next;
  const korvane::ProxyFieldList fields = korvane::ProxyFieldsOf(record.desktop);
  if (lines.size() != next + fields.size()) {
    return std::nullopt;
  }
  std::set<std::string> seen;
  for (size_t i = next; i < lines.size(); ++i) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos) {
      return std::nullopt;
    }
    std::string key = lines[i].substr(0, eq);
    const ProxyField* match = nullptr;
    for (const ProxyField& field : fields) {
      if (key == field.record_name) {
        match = &field;
      }
    }
    std::optional<std::string> value = Unescape(lines[i].substr(eq + 1));
    if (match == nullptr || !seen.insert(key).second || !value) {
      return std::nullopt;
    }
    // GNOME values are single-line GVariant texts that a restore must be able to write back.
    if (record.desktop == kDesktopGnome &&
        (value->empty() || value->find('\n') != std::string::npos)) {
      return std::nullopt;
    }
    record.settings.*match->member = *value;
  }
  return record;
}

bool ProxyBackupFile::Write(const ProxyBackupRecord& record) {
  std::string dir = korvane::ConfigDirectory();
  if (!korvane::MakePrivateDirectories(dir)) {
    int err = errno;
    kLog.Error() << "Cannot create " << dir << ": " << korvane::ErrnoText(err);
    return false;
  }
  std::string path = Path();
  korvane::ReplaceResult result = korvane::ReplaceFile(path, Render(record), {0600, path + ".tmp"});
  if (!result.ok()) {
    kLog.Error() << "Cannot write " << path << ": " << korvane::ErrnoText(result.error);
    return false;
  }
  return true;
}

bool ProxyBackupFile::Exists() {
  struct stat st;
  return lstat(Path().c_str(), &st) == 0;
}

std::optional<ProxyBackupRecord> ProxyBackupFile::Read() {
  korvane::ReadOptions options;
  options.max_bytes = kMaxFileSize;
  options.follow_links = false;
  options.regular_only = true;
  std::optional<std::string> text = korvane::ReadWholeFile(Path(), options);
  if (!text) {
    return std::nullopt;
  }
  return Parse(*text);
}

bool ProxyBackupFile::Remove() {
  std::string path = Path();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    int err = errno;
    kLog.Error() << "Cannot remove " << path << ": " << korvane::ErrnoText(err);
    return false;
  }
  return true;
}
