// The executable needs only the libraries it uses: the dynamic loader's own account of unused
// direct dependencies names libsentry alone, which the executable links on purpose and never
// calls (as released builds do).

#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/shell_command.h"

namespace korvane_test {
namespace {

// The file names (no directory) of the indented lines after `header`.
std::set<std::string> NamesAfter(const std::string& text, const std::string& header) {
  std::set<std::string> names;
  std::istringstream lines(text);
  bool in_list = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(header, 0) == 0) {
      in_list = true;
    } else if (in_list && !line.empty() && (line[0] == '\t' || line[0] == ' ')) {
      const std::string path = line.substr(line.find_first_not_of(" \t"));
      names.insert(path.substr(path.rfind('/') + 1));
    } else {
      in_list = false;
    }
  }
  return names;
}

TEST(NeededLibrariesTest, OnlyTheNeverCalledSentryPluginIsUnused) {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);
  const std::string executable = std::string(bundle) + "/korvane";
  const std::string unused = ShellOutput("ldd -u -r '" + executable + "'");
  EXPECT_EQ(NamesAfter(unused, "Unused direct dependencies:"),
            std::set<std::string>{"libsentry.so"})
      << unused;

  const std::string dynamic = ShellOutput("readelf -d '" + executable + "'");
  EXPECT_NE(dynamic.find("[libsentry.so]"), std::string::npos) << dynamic;
  EXPECT_NE(dynamic.find("[libflutter_linux_gtk.so]"), std::string::npos) << dynamic;
  // The latency methods reach the engine's controller over HTTP.
  EXPECT_NE(dynamic.find("[libcurl.so"), std::string::npos) << dynamic;
}

}  // namespace
}  // namespace korvane_test
