#ifndef PLATFORM_PRIVILEGES_ELEVATION_ENVIRONMENT_H_
#define PLATFORM_PRIVILEGES_ELEVATION_ENVIRONMENT_H_

#include <string>
#include <vector>

// The process environment as it was when an elevation request started. The desktop-proxy code
// changes the environment on the main thread (setenv), so a worker thread must never read
// environ or call getenv: the main thread takes this copy before the worker starts and the
// worker reads only the copy.
namespace korvane {

struct ElevationEnvironment {
  // NAME=VALUE entries, in environ's order.
  std::vector<std::string> variables;

  // Main thread (or any thread while nobody changes the environment): a copy of environ.
  static ElevationEnvironment Capture();
  // The value of `name`; empty when unset.
  std::string Get(const std::string& name) const;
  // The entries with `name` set to `value` (replacing an earlier value).
  std::vector<std::string> With(const std::string& name, const std::string& value) const;
};

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_ELEVATION_ENVIRONMENT_H_
