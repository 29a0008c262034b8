#include "platform/proxy_backup_file.h"

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

}  // namespace

std::string ProxyBackupFile::Path() {
  return korvane::ConfigDirectory() + "/" + kFileName;
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
  std::string dir = korvane::ConfigDirectory();
  if (!korvane::MakePrivateDirectories(dir)) {
    int err = errno;
    korvane::LogErr() << "[ProxyManager] Cannot create " << dir << ": " << korvane::ErrnoText(err);
    return false;
  }
  std::string path = Path();
  korvane::ReplaceResult result = korvane::ReplaceFile(path, Render(record), {0600, path + ".tmp"});
  if (!result.ok()) {
    korvane::LogErr() << "[ProxyManager] Cannot write " << path << ": "
                      << korvane::ErrnoText(result.error);
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
    korvane::LogErr() << "[ProxyManager] Cannot remove " << path << ": " << korvane::ErrnoText(err);
    return false;
  }
  return true;
}
