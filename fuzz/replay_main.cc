// The main of a fuzz target built without libFuzzer: runs the target once on
// each file named on the command line, or on each file of a named directory,
// so that the corpora run as ordinary tests under any compiler. A fault shows
// as a crash or a sanitizer report, as it would under the fuzzer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_environment.h"

namespace {

namespace fs = std::filesystem;

// The files to run, as absolute paths: a target may change the working
// directory.
std::vector<fs::path> Inputs(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    fs::path path = fs::absolute(argv[i]);
    if (!fs::is_directory(path)) {
      inputs.push_back(path);
      continue;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<fs::path> inputs = Inputs(argc, argv);
    if (inputs.empty()) {
      std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
      return 2;
    }
    for (const fs::path& input : inputs) {
      std::ifstream in(input, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", input.c_str());
        return 1;
      }
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      std::printf("Running: %s (%zu bytes)\n", input.c_str(), bytes.size());
      std::fflush(stdout);
      // A copy of exactly the input's size, so that a read past its end is
      // seen by the address sanitizer as it would be under the fuzzer.
      std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(copy.data(), copy.size());
    }
    std::printf("Executed %zu inputs\n", inputs.size());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "replay failed: %s\n", error.what());
    return 1;
  }
}
