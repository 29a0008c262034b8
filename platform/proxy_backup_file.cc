#include "platform/proxy_backup_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <utility>
#include <vector>

#include "platform/config_directory.h"
#include "platform/file_io.h"

namespace {

constexpr const char* kHeader = "korvane-proxy-backup 1";
// Larger than any real record; bounds what a damaged file can make us read.
constexpr size_t kMaxFileSize = 64 * 1024;

using Field = std::pair<const char*, std::string ProxySettings::*>;

const std::vector<Field>& GnomeFields() {
  static const std::vector<Field> fields = {
      {"gnome_mode", &ProxySettings::gnome_mode},
      {"gnome_http_host", &ProxySettings::gnome_http_host},
      {"gnome_http_port", &ProxySettings::gnome_http_port},
      {"gnome_https_host", &ProxySettings::gnome_https_host},
      {"gnome_https_port", &ProxySettings::gnome_https_port},
      {"gnome_socks_host", &ProxySettings::gnome_socks_host},
      {"gnome_socks_port", &ProxySettings::gnome_socks_port},
      {"gnome_ignore_hosts", &ProxySettings::gnome_ignore_hosts},
  };
  return fields;
}

const std::vector<Field>& KdeFields() {
  static const std::vector<Field> fields = {
      {"kde_proxy_type", &ProxySettings::kde_proxy_type},
      {"kde_http_proxy", &ProxySettings::kde_http_proxy},
      {"kde_https_proxy", &ProxySettings::kde_https_proxy},
      {"kde_socks_proxy", &ProxySettings::kde_socks_proxy},
      {"kde_no_proxy_for", &ProxySettings::kde_no_proxy_for},
  };
  return fields;
}

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

// Owns a descriptor.
// mkdir -p with 0700 for the directories it creates.
bool MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') {
      continue;
    }
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string ProxyBackupFile::ConfigDirectory() {
  return korvane::ConfigDirectory();
}

std::string ProxyBackupFile::Path() {
  return ConfigDirectory() + "/" + kFileName;
}

std::string ProxyBackupFile::Render(const ProxyBackupRecord& record) {
  bool kde = record.desktop == ProxyManager::kDesktopKde;
  std::string out = std::string(kHeader) + "\n" + "desktop=" + (kde ? "kde" : "gnome") + "\n";
  for (const Field& field : kde ? KdeFields() : GnomeFields()) {
    out += std::string(field.first) + "=" + Escape(record.settings.*field.second) + "\n";
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
  if (lines.size() < 2 || lines[0] != kHeader) {
    return std::nullopt;
  }
  if (lines[1] == "desktop=gnome") {
    record.desktop = ProxyManager::kDesktopGnome;
  } else if (lines[1] == "desktop=kde") {
    record.desktop = ProxyManager::kDesktopKde;
  } else {
    return std::nullopt;
  }
  const std::vector<Field>& fields =
      record.desktop == ProxyManager::kDesktopKde ? KdeFields() : GnomeFields();
  if (lines.size() != 2 + fields.size()) {
    return std::nullopt;
  }
  std::set<std::string> seen;
  for (size_t i = 2; i < lines.size(); ++i) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos) {
      return std::nullopt;
    }
    std::string key = lines[i].substr(0, eq);
    const Field* match = nullptr;
    for (const Field& field : fields) {
      if (key == field.first) {
        match = &field;
      }
    }
    std::optional<std::string> value = Unescape(lines[i].substr(eq + 1));
    if (match == nullptr || !seen.insert(key).second || !value) {
      return std::nullopt;
    }
    // GNOME values are single-line GVariant texts that a restore must be able to write back.
    if (record.desktop == ProxyManager::kDesktopGnome &&
        (value->empty() || value->find('\n') != std::string::npos)) {
      return std::nullopt;
    }
    record.settings.*match->second = *value;
  }
  return record;
}

bool ProxyBackupFile::Write(const ProxyBackupRecord& record) {
  std::string dir = ConfigDirectory();
  if (!MakeDirectories(dir)) {
    int err = errno;
    std::cerr << "[ProxyManager] Cannot create " << dir << ": " << strerror(err) << std::endl;
    return false;
  }
  std::string path = Path();
  std::string temp = path + ".tmp";
  unlink(temp.c_str());
  korvane::ScopedFd fd(
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  bool ok = fd.get() >= 0 && fchmod(fd.get(), 0600) == 0 &&
            korvane::WriteAll(fd.get(), Render(record)) && fsync(fd.get()) == 0;
  int err = errno;
  if (ok) {
    ok = fd.Close() == 0 && rename(temp.c_str(), path.c_str()) == 0;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    std::cerr << "[ProxyManager] Cannot write " << path << ": " << strerror(err) << std::endl;
    return false;
  }
  // The rename itself must survive a power loss too.
  korvane::FsyncDirectory(dir);
  return true;
}

bool ProxyBackupFile::Exists() {
  struct stat st;
  return lstat(Path().c_str(), &st) == 0;
}

std::optional<ProxyBackupRecord> ProxyBackupFile::Read() {
  korvane::ScopedFd fd(open(Path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) > kMaxFileSize) {
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxFileSize) {
      return std::nullopt;
    }
  }
  return Parse(text);
}

bool ProxyBackupFile::Remove() {
  std::string path = Path();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    int err = errno;
    std::cerr << "[ProxyManager] Cannot remove " << path << ": " << strerror(err) << std::endl;
    return false;
  }
  return true;
}
