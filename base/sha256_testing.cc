// Test-only members; built into korvane_base_testing, never into the host.
#include "base/sha256.h"

void Sha256::UseShaExtensionsForTesting(bool use) {
  use_sha_extensions_ = use && CpuHasShaExtensions();
}

void Sha256::ResetForTesting() {
  use_sha_extensions_ = CpuHasShaExtensions();
}
