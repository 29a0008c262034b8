// Test-only members; built into korvane_platform_testing, never into the host.
#include "platform/privileges/elevated_helper.h"

void ElevatedHelper::SetWaitRoundsForTesting(int wait_rounds,
                                             int term_reap_rounds,
                                             int kill_reap_rounds) {
  wait_rounds_ = wait_rounds;
  term_reap_rounds_ = term_reap_rounds;
  kill_reap_rounds_ = kill_reap_rounds;
}

void ElevatedHelper::ResetForTesting() {
  wait_rounds_ = 1800;
  term_reap_rounds_ = 20;
  kill_reap_rounds_ = 10;
}
