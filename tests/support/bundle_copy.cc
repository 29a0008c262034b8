#include "tests/support/bundle_copy.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace korvane_test {

namespace {

namespace fs = std::filesystem;

std::string BundleDir() {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  return bundle != nullptr ? bundle : "";
}

}  // namespace

std::string CopyBundleExecutable(const std::string& dir, std::string* error) {
  const std::string bundle = BundleDir();
  if (bundle.empty()) {
    *error = "KORVANE_BUNDLE_DIR is not set";
    return "";
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  const std::string executable = dir + "/korvane";
  if (!ec) {
    fs::copy_file(bundle + "/korvane", executable, fs::copy_options::overwrite_existing, ec);
  }
  // Real copies, not links: a grant copies only plain directories, and another user may need
  // to read them wherever the checkout is.
  for (const char* name : {"lib", "data"}) {
    if (!ec) {
      fs::copy(bundle + "/" + name, dir + "/" + name,
               fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
  }
  if (ec) {
    *error = "cannot copy the bundle into " + dir + ": " + ec.message();
    return "";
  }
  return executable;
}

bool ReplaceWithBundleExecutable(const std::string& path, std::string* error) {
  const std::string temporary = path + ".new";
  std::error_code ec;
  fs::copy_file(BundleDir() + "/korvane", temporary, fs::copy_options::overwrite_existing, ec);
  if (!ec) {
    fs::rename(temporary, path, ec);
  }
  if (ec) {
    *error = "cannot replace " + path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace korvane_test
