#ifndef TESTS_APP_PANEL_DRIVER_H_
#define TESTS_APP_PANEL_DRIVER_H_

#include <functional>
#include <string>
#include <vector>

#include "tests/support/host_fixture.h"

namespace korvane_test {

// Drives the control panel of a started host as a person does, with the keyboard (xdotool on
// the host's display), and reads what it shows from the lines it writes ("[Panel] KEY: TEXT").
class PanelDriver {
 public:
  explicit PanelDriver(HostFixture* host) : host_(host) {}

  // Waits for the host's mapped window; false when none appears.
  bool FindWindow();
  // Waits for the panel line "[Panel] |line|" written after everything seen so far and moves
  // past it (a failure names what the panel showed instead).
  bool Expect(const std::string& line);
  // The rest of the next panel line that begins "[Panel] |prefix|" ("" when none comes).
  std::string ExpectValue(const std::string& prefix);
  // The next panel line that begins "[Panel] |prefix|" and whose rest |accept| takes; the lines
  // before it are passed over. "" when none comes in time.
  std::string ExpectValueWhere(const std::string& prefix,
                               const std::function<bool(const std::string&)>& accept);
  // The rest of the last panel line written so far that begins "[Panel] |prefix|" (what the
  // window shows for it now), "" when none was written.
  std::string Shown(const std::string& prefix) const;
  // Keys typed into the window, as a person types them.
  void Keys(const std::vector<std::string>& keys);
  void Type(const std::string& text);
  // The panel lines of |out|.
  static std::string PanelLines(const std::string& out);

  size_t seen() const { return seen_; }

 private:
  HostFixture* host_;
  std::string window_;
  size_t seen_ = 0;
};

}  // namespace korvane_test

#endif  // TESTS_APP_PANEL_DRIVER_H_
