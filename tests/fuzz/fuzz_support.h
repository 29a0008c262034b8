#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_FUZZ_SUPPORT_H_

// Helpers shared by the fuzz targets: a private scratch directory and checks whose failure is
// a finding (they abort, so libFuzzer keeps the input).

#include <glib.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace korvane {
namespace fuzz {

// Aborts with the failed condition: the input broke a property the code promises.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                         \
    }                                                                                  \
  } while (0)

// Removes the scratch directory when the process exits normally.
inline std::string& ScratchPath() {
  static std::string path;
  return path;
}

inline void RemoveScratch() {
  std::error_code ignored;
  if (!ScratchPath().empty()) {
    std::filesystem::remove_all(ScratchPath(), ignored);
  }
}

// A directory of this process for the target's files, made on first use; in /dev/shm when
// there is one, so that the fsyncs of the code under test cost nothing.
inline const std::string& ScratchDirectory() {
  if (ScratchPath().empty()) {
    const char* base = g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) ? "/dev/shm" : g_get_tmp_dir();
    std::string pattern = std::string(base) + "/korvane-fuzz-XXXXXX";
    if (g_mkdtemp(&pattern[0]) == nullptr) {
      fprintf(stderr, "cannot make a scratch directory under %s\n", base);
      abort();
    }
    ScratchPath() = pattern;
    atexit(RemoveScratch);
  }
  return ScratchPath();
}

// Removes what |directory| holds, keeping the directory itself.
inline void EmptyDirectory(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

// Writes |data| as the whole content of |path|.
inline void WriteScratchFile(const std::string& path, std::string_view data) {
  FILE* file = fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(data.empty() || fwrite(data.data(), 1, data.size(), file) == data.size());
  FUZZ_CHECK(fclose(file) == 0);
}

// Splits |data| at the first occurrence of |separator|: what is before goes to |head|, what is
// after to |tail|. Without the separator everything is the head.
inline void SplitOnce(std::string_view data,
                      std::string_view separator,
                      std::string_view* head,
                      std::string_view* tail) {
  size_t at = data.find(separator);
  if (at == std::string_view::npos) {
    *head = data;
    *tail = std::string_view();
    return;
  }
  *head = data.substr(0, at);
  *tail = data.substr(at + separator.size());
}

inline std::string_view AsView(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz
}  // namespace korvane

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H_
