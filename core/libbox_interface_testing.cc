// Test-only members; built into korvane_core_testing, never into the host.
#include "core/libbox_interface.h"

void LibboxInterface::ResetForTesting() {
  Unload();
  load_error_.clear();
  expected_sha256_ = kLibboxExpectedSha256;
}

void LibboxInterface::SetExpectedSha256ForTesting(const std::string& digest) {
  // Kept here because expected_sha256_ only points at it.
  static std::string stored;
  stored = digest;
  expected_sha256_ = stored.c_str();
}
