#include "platform/privileges/file_capability.h"

#include <sys/capability.h>

namespace korvane {

bool FileHasNetAdmin(const std::string& path) {
  cap_t caps = cap_get_file(path.c_str());
  if (caps == nullptr) {
    return false;
  }
  cap_flag_value_t permitted = CAP_CLEAR;
  cap_flag_value_t effective = CAP_CLEAR;
  const int permitted_status = cap_get_flag(caps, CAP_NET_ADMIN, CAP_PERMITTED, &permitted);
  const int effective_status = cap_get_flag(caps, CAP_NET_ADMIN, CAP_EFFECTIVE, &effective);
  cap_free(caps);
  if (permitted_status != 0) {
    return false;
  }
  return effective_status == 0 && permitted == CAP_SET && effective == CAP_SET;
}

}  // namespace korvane
