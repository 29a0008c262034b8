// The configuration store's reader over arbitrary files: "vpn_config.dat" and its backup, each
// absent, as written or encoded the current or the older way (so that both decoders see
// plausible text). Whatever the files hold, what LoadConfig returns is empty or a configuration
// that passes the checks, the store is left in the current format, and a configuration that
// SaveConfig accepts comes back from LoadConfig unchanged.
//
// Input: one byte of flags, then the main file's text, "\n#bak\n" and the backup's text.
// Flags bits 0-1 and 2-3 encode the main file and the backup: 0 absent, 1 as written, 2 the
// current encoding, 3 the older one.

#include <stdlib.h>

#include <string>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "vpn/vpn_preferences.h"

namespace {

using korvane::fuzz::AsView;

constexpr std::string_view kBackupSeparator = "\n#bak\n";
constexpr unsigned char kLegacyKey = 0x91;

std::string LegacyEncode(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(static_cast<unsigned char>(c) ^ kLegacyKey);
  }
  return out;
}

void Place(const std::string& path, std::string_view text, unsigned encoding) {
  switch (encoding & 3u) {
    case 0:
      return;
    case 1:
      korvane::fuzz::WriteScratchFile(path, text);
      return;
    case 2:
      korvane::fuzz::WriteScratchFile(path, VPNPreferences::ObfuscateString(std::string(text)));
      return;
    default:
      korvane::fuzz::WriteScratchFile(path, LegacyEncode(text));
      return;
  }
}

const std::string& ConfigDirectory() {
  static const std::string directory = [] {
    setenv("XDG_CONFIG_HOME", korvane::fuzz::ScratchDirectory().c_str(), 1);
    std::string config = VPNPreferences::GetConfigDirectory();
    FUZZ_CHECK(VPNPreferences::CreateDirectory(config));
    return config;
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& directory = ConfigDirectory();
  if (size == 0) {
    return 0;
  }
  unsigned flags = data[0];
  std::string_view main_text;
  std::string_view backup_text;
  korvane::fuzz::SplitOnce(AsView(data + 1, size - 1), kBackupSeparator, &main_text, &backup_text);

  // The obfuscation is undone for any text that starts a JSON object.
  std::string plain(main_text);
  if (!plain.empty() && plain[0] == '{') {
    FUZZ_CHECK(VPNPreferences::DeobfuscateString(VPNPreferences::ObfuscateString(plain)) == plain);
  }

  Place(VPNPreferences::GetConfigPath(), main_text, flags);
  Place(VPNPreferences::GetBackupPath(), backup_text, flags >> 2);
  std::string loaded = VPNPreferences::LoadConfig();
  if (!loaded.empty()) {
    FUZZ_CHECK(VPNPreferences::ValidateConfig(loaded));
    // What was read reads the same again, and is then stored in the current format (a backup
    // restored in the older format is migrated at the next load).
    FUZZ_CHECK(VPNPreferences::LoadConfig() == loaded);
    FUZZ_CHECK(VPNPreferences::ReadFile(VPNPreferences::GetConfigPath()) ==
               VPNPreferences::ObfuscateString(loaded));
  }

  // What the store accepts, it gives back.
  if (VPNPreferences::SaveConfig(plain)) {
    FUZZ_CHECK(VPNPreferences::ValidateConfig(plain));
    FUZZ_CHECK(VPNPreferences::HasConfig());
    FUZZ_CHECK(VPNPreferences::LoadConfig() == plain);
  } else {
    FUZZ_CHECK(!VPNPreferences::ValidateConfig(plain));
  }
  FUZZ_CHECK(VPNPreferences::ClearConfig());
  FUZZ_CHECK(!VPNPreferences::HasConfig());
  korvane::fuzz::EmptyDirectory(directory);
  return 0;
}
