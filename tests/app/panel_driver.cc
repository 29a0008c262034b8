#include "tests/app/panel_driver.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <sstream>

#include "base/logger.h"
#include "tests/support/tagged_line.h"

namespace korvane_test {

namespace {

constexpr gint64 kTimeoutUs = 60 * G_USEC_PER_SEC;

}  // namespace

bool PanelDriver::FindWindow() {
  const gint64 deadline = g_get_monotonic_time() + kTimeoutUs;
  while (g_get_monotonic_time() < deadline) {
    std::istringstream ids(host_->OutputWithHostEnvironment(
        {"xdotool", "search", "--onlyvisible", "--name", "^Korvane$"}));
    if (ids >> window_) {
      return true;
    }
    g_usleep(100 * 1000);
  }
  return false;
}

bool PanelDriver::Expect(const std::string& line) {
  const std::string needle = Tagged(korvane::kPanelTag, line);
  const gint64 deadline = g_get_monotonic_time() + kTimeoutUs;
  while (g_get_monotonic_time() < deadline) {
    const std::string out = host_->Stdout();
    const size_t at = out.find(needle, seen_);
    if (at != std::string::npos) {
      seen_ = out.find('\n', at);
      return true;
    }
    g_usleep(50 * 1000);
  }
  ADD_FAILURE() << "the panel never showed \"" << needle << "\"; it showed:\n"
                << PanelLines(host_->Stdout().substr(seen_));
  return false;
}

std::string PanelDriver::ExpectValue(const std::string& prefix) {
  const size_t before = seen_;
  if (!Expect(prefix)) {
    return "";
  }
  const std::string out = host_->Stdout();
  const std::string head = Tagged(korvane::kPanelTag, prefix);
  const size_t at = out.find(head, before) + head.size();
  return out.substr(at, seen_ - at);
}

std::string PanelDriver::ExpectValueWhere(const std::string& prefix,
                                          const std::function<bool(const std::string&)>& accept) {
  const gint64 deadline = g_get_monotonic_time() + kTimeoutUs;
  std::string passed;
  while (g_get_monotonic_time() < deadline) {
    const std::string value = ExpectValue(prefix);
    if (value.empty() || accept(value)) {
      return value;
    }
    passed += value + "\n";
  }
  ADD_FAILURE() << "no \"" << prefix << "\" line the test takes; it showed:\n" << passed;
  return "";
}

std::string PanelDriver::Shown(const std::string& prefix) const {
  const std::string head = Tagged(korvane::kPanelTag, prefix);
  const std::string out = host_->Stdout();
  size_t at = out.rfind("\n" + head);
  if (at == std::string::npos) {
    if (out.rfind(head, 0) != 0) {
      return "";
    }
    at = 0;
  } else {
    at++;
  }
  const size_t start = at + head.size();
  const size_t end = out.find('\n', start);
  return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void PanelDriver::Keys(const std::vector<std::string>& keys) {
  int status = -1;
  std::string output =
      host_->OutputWithHostEnvironment({"xdotool", "windowactivate", "--sync", window_}, &status);
  ASSERT_EQ(status, 0) << output;
  std::vector<std::string> argv = {"xdotool", "key", "--delay", "60"};
  argv.insert(argv.end(), keys.begin(), keys.end());
  output = host_->OutputWithHostEnvironment(argv, &status);
  ASSERT_EQ(status, 0) << output;
}

void PanelDriver::Type(const std::string& text) {
  int status = -1;
  std::string output =
      host_->OutputWithHostEnvironment({"xdotool", "type", "--delay", "20", text}, &status);
  ASSERT_EQ(status, 0) << output;
}

std::string PanelDriver::PanelLines(const std::string& out) {
  std::istringstream in(out);
  std::string lines;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(Tagged(korvane::kPanelTag, ""), 0) == 0) {
      lines += line + "\n";
    }
  }
  return lines;
}

}  // namespace korvane_test
