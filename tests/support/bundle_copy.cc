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

void OpenOne(const fs::path& path, std::error_code& ec) {
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || fs::is_symlink(status)) {
    return;
  }
  fs::perms add = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  if (fs::is_directory(status) ||
      (status.permissions() & fs::perms::owner_exec) != fs::perms::none) {
    add |= fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  }
  fs::permissions(path, add, fs::perm_options::add, ec);
}

}  // namespace

bool OpenToAllUsers(const std::string& path, std::string* error) {
  std::error_code ec;
  OpenOne(path, ec);
  if (!ec && fs::is_directory(fs::symlink_status(path, ec))) {
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      OpenOne(it->path(), ec);
    }
  }
  if (ec) {
    *error = "cannot open " + path + " to every user: " + ec.message();
    return false;
  }
  return true;
}

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
  for (const char* name : {"korvane", "lib", "data"}) {
    if (!OpenToAllUsers(dir + "/" + name, error)) {
      return "";
    }
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
