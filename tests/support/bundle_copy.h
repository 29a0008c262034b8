#ifndef TESTS_SUPPORT_BUNDLE_COPY_H_
#define TESTS_SUPPORT_BUNDLE_COPY_H_

#include <string>

namespace korvane_test {

// A private copy of the bundle's korvane in `dir` (created), beside copies of the bundle's lib/
// and data/: an executable whose directory a test may change (a launcher beside it, the file
// replaced on disk) without touching the bundle that other tests share. The copies are open to
// every user (see OpenToAllUsers). Returns the copy's path, or "" with *error saying why.
std::string CopyBundleExecutable(const std::string& dir, std::string* error);

// Gives every user read access to `path` and, below it when it is a directory, to everything
// it holds; directories and files the owner may execute become searchable and executable by all.
// For copies that another user runs, whoever may read the checkout. False with *error.
bool OpenToAllUsers(const std::string& path, std::string* error);

// Copies the bundle's korvane to `path` under a temporary name and renames it into place, as an
// update replaces an executable that may be running. False with *error on failure.
bool ReplaceWithBundleExecutable(const std::string& path, std::string* error);

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_BUNDLE_COPY_H_
