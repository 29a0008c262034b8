#ifndef BASE_LOGGER_H_
#define BASE_LOGGER_H_

#include "base/log.h"

// One logger per source file, its tag given once at the top of the file:
//
//   namespace {
//   constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
//   }
//   kLog.Info() << "Running elevated patchelf+setcap";   // "[PlatformService] Running ..."
//   kLog.Error() << "setcap not found";                  // on standard error
//
// Progress goes to standard output, failures to standard error; each line is written whole
// (base/log.h). Any thread. Tests compare against the tag constants below, never literal tags.
namespace korvane {

// The tags the host's lines begin with.
inline constexpr char kPlatformServiceTag[] = "[PlatformService]";
inline constexpr char kVPNManagerTag[] = "[VPNManager]";
inline constexpr char kVPNTag[] = "[VPN]";
inline constexpr char kVPNErrorTag[] = "[VPN ERROR]";
inline constexpr char kProxyManagerTag[] = "[ProxyManager]";
inline constexpr char kClashAPITag[] = "[ClashAPI]";
inline constexpr char kLibboxTag[] = "[LIBBOX]";
inline constexpr char kKorvaneTag[] = "[Korvane]";
inline constexpr char kInfoTag[] = "[INFO]";
inline constexpr char kSuccessTag[] = "[SUCCESS]";
inline constexpr char kWarningTag[] = "[WARNING]";
inline constexpr char kDebugTag[] = "[DEBUG]";
inline constexpr char kSecurityWarnTag[] = "[SECURITY][WARN]";
inline constexpr char kSecurityAuditTag[] = "[SECURITY][AUDIT]";
inline constexpr char kUiBridgeTag[] = "[UI bridge]";
inline constexpr char kPanelTag[] = "[Panel]";
// The prefix of the lines the engine's platform callbacks write.
inline constexpr char kLibboxCallbackTag[] = "libbox callback:";
// For the lines of a file that carry no tag.
inline constexpr char kNoTag[] = "";

class Logger {
 public:
  // `tag` outlives the logger (one of the constants above); empty: lines without a tag.
  constexpr explicit Logger(const char* tag) : tag_(tag) {}

  // A progress line on standard output, beginning with the tag.
  LogLine Info() const { return LogLine(1, tag_); }
  // A failure line on standard error, beginning with the tag.
  LogLine Error() const { return LogLine(2, tag_); }
  const char* tag() const { return tag_; }

 private:
  const char* tag_;
};

}  // namespace korvane

#endif  // BASE_LOGGER_H_
