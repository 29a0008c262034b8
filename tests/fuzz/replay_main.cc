// Runs a fuzz target's entry point once over every file of the directories (or files) named on
// the command line, as libFuzzer would replay them, so the test suite can run the seed corpora
// and the saved crash inputs without the fuzzing engine. The first argument is the seed corpus
// and must hold at least one input; the others (saved crash inputs) may be missing or empty.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& path) {
  std::vector<std::filesystem::path> inputs;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
        inputs.push_back(entry.path());
      }
    }
  } else if (std::filesystem::is_regular_file(path, error)) {
    inputs.push_back(path);
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s CORPUS [MORE_INPUTS...]\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize != nullptr) {
    LLVMFuzzerInitialize(&argc, &argv);
  }
  size_t total = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::filesystem::path> inputs = InputsOf(argv[i]);
    if (i == 1 && inputs.empty()) {
      fprintf(stderr, "no seed inputs in %s\n", argv[i]);
      return 1;
    }
    for (const auto& input : inputs) {
      std::ifstream file(input, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
      // An allocation of exactly the input's size, so reading past its end is caught.
      std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
      std::copy(bytes.begin(), bytes.end(), copy.get());
      fprintf(stderr, "replaying %s (%zu bytes)\n", input.c_str(), bytes.size());
      LLVMFuzzerTestOneInput(copy.get(), bytes.size());
      total++;
    }
  }
  fprintf(stderr, "replayed %zu inputs\n", total);
  return 0;
}
