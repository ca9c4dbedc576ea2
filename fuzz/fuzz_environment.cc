#include "fuzz/fuzz_environment.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "harness/state.h"
#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::fuzz {
namespace {

namespace fs = std::filesystem;

// Removes the directory at exit. Inputs that crash end the process without
// it; scripts/fuzz points TMPDIR below the build directory for that reason.
class Scratch {
 public:
  Scratch() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path dir = fs::temp_directory_path() /
                     ("ostrivel-fuzz-" + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(dir, error)) {
        path_ = dir.string() + "/";
        return;
      }
    }
    Check(false, "cannot create a scratch directory");
  }
  ~Scratch() {
    std::error_code error;
    // The working directory may be inside; leave it first.
    fs::current_path(fs::temp_directory_path(error), error);
    fs::remove_all(path_, error);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

const std::string& ScratchPath() {
  static const Scratch scratch;
  return scratch.path();
}

void EnterScratch() {
  std::error_code error;
  fs::current_path(ScratchPath(), error);
  Check(!error, "cannot enter the scratch directory");
}

void ClearScratch(std::string_view keep) {
  std::error_code error;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(ScratchPath(), error)) {
    if (!keep.empty() && entry.path().filename() == keep) continue;
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
  Check(!error, "cannot list the scratch directory");
}

void ResetLibrary(int logLevel) {
  harness::ResetState();
  harness::Settings& settings = harness::State().settings;
  const std::string& scratch = ScratchPath();
  settings.base_location = scratch;
  settings.log_location = scratch + "log.txt";
  settings.res_location = scratch + "result.csv";
  settings.methods_location = scratch + "methods/";
  settings.log_level = logLevel;
}

void InstallQuietPlatform() {
  platform::Operations ops = platform::NativeOperations();
  ops.showWarning = [](const std::string&, const std::string&) {};
  ops.writeError = [](std::string_view) {};
  platform::Install(std::move(ops));
}

std::string ReadBytes(const std::string& path, bool* found) {
  std::ifstream in(path, std::ios::binary);
  *found = static_cast<bool>(in);
  if (!in) return std::string();
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  Check(static_cast<bool>(out), "cannot write a scratch file");
}

std::vector<TextLine> SplitTextLines(std::string_view bytes) {
  std::vector<TextLine> lines;
  TextLine line;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (c == '\n') {
      line.ended = true;
      lines.push_back(std::move(line));
      line = TextLine();
      continue;
    }
    line.text.push_back(c);
  }
  if (!line.text.empty()) lines.push_back(std::move(line));
  for (TextLine& each : lines) {
    if (each.text.size() > platform::LineReader::kMaxLine) {
      each.text.resize(platform::LineReader::kMaxLine);
      each.overlong = true;
    }
  }
  return lines;
}

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "Broken invariant: %s\n", what);
  std::abort();
}

}  // namespace ostrivel::fuzz
