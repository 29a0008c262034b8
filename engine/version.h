// The reference engine's version, as get_version and the controller's /version report it.
#ifndef ENGINE_VERSION_H_
#define ENGINE_VERSION_H_

namespace box {

inline constexpr char kBoxVersion[] = "1.13.3-korvane-reference";

}  // namespace box

#endif  // ENGINE_VERSION_H_
