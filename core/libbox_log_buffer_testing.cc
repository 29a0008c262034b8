// Test-only members; built into korvane_core_testing, never into the host.
#include "core/libbox_log_buffer.h"

void LibboxLogBuffer::resetForTesting() {
  std::lock_guard<std::mutex> lock(instance_mutex_);
  instance_.reset();
}
