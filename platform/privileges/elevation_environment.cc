#include "platform/privileges/elevation_environment.h"

#include <unistd.h>

namespace korvane {

ElevationEnvironment ElevationEnvironment::Capture() {
  ElevationEnvironment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    environment.variables.emplace_back(*entry);
  }
  return environment;
}

std::string ElevationEnvironment::Get(const std::string& name) const {
  const std::string prefix = name + "=";
  for (const std::string& entry : variables) {
    if (entry.compare(0, prefix.size(), prefix) == 0) {
      return entry.substr(prefix.size());
    }
  }
  return "";
}

std::vector<std::string> ElevationEnvironment::With(const std::string& name,
                                                    const std::string& value) const {
  const std::string prefix = name + "=";
  std::vector<std::string> result;
  for (const std::string& entry : variables) {
    if (entry.compare(0, prefix.size(), prefix) != 0) {
      result.push_back(entry);
    }
  }
  result.push_back(prefix + value);
  return result;
}

}  // namespace korvane
