#include "vpn/engine_base_directory.h"

#include <errno.h>
#include <unistd.h>

#include "base/file_util.h"
#include "base/log.h"
#include "base/logger.h"

namespace korvane {

namespace {
// Its lines carry no tag, as they always have.
constexpr Logger kLog(kNoTag);
}  // namespace

std::string PrepareEngineBaseDirectory(const std::string& config_dir) {
  const std::string shared = "/tmp/korvane-" + std::to_string(getuid());
  if (MakePrivateDirectories(shared)) {
    return shared;
  }
  const int shared_error = errno;
  const std::string fallback = config_dir + "/cache";
  if (MakePrivateDirectories(fallback)) {
    kLog.Error() << "Cache directory " << shared << " is not a private directory of ours ("
                 << ErrnoText(shared_error) << "); using " << fallback;
    return fallback;
  }
  const int fallback_error = errno;
  kLog.Error() << "No private cache directory: " << shared << ": " << ErrnoText(shared_error)
               << "; " << fallback << ": " << ErrnoText(fallback_error);
  return std::string();
}

}  // namespace korvane
