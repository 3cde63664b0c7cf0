// Runs a fuzz target's properties over its committed seeds, without
// libFuzzer: the target's entry point gets every file of each directory
// named on the command line, in byte order of the file names, so a broken
// property stops the run (the targets abort) with the same input every time.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; i++) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(argv[i], ec))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    if (ec) {
      fprintf(stderr, "%s: %s\n", argv[i], ec.message().c_str());
      return 1;
    }
  }
  // A run over nothing would pass whatever the target does.
  if (inputs.empty()) {
    fprintf(stderr, "no seeds in the directories given\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto &path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fprintf(stderr, "%s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  fprintf(stderr, "%zu seeds passed\n", inputs.size());
  return 0;
}
