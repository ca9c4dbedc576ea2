#ifndef OSTRIVEL_TESTS_LOADED_LIBRARY_H_
#define OSTRIVEL_TESTS_LOADED_LIBRARY_H_

// What the end-to-end tests share: the built library loaded the way a
// harness loads it (through the loader the runner and the GoogleTest
// listener use), and its log read back line by line.

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ostrivel/harness_library.h"
#include "testing/temp_dir.h"

namespace ostrivel::testing {

// The seven exported functions of one loaded copy of the library
// (OSTRIVEL_LIBRARY_PATH), unloaded again when this object goes away.
class LoadedLibrary {
 public:
  LoadedLibrary()
      : library_(HarnessLibrary::Load(OSTRIVEL_LIBRARY_PATH, &error_)) {}

  // True when the library loaded and all seven functions were found; else
  // error() says why.
  bool loaded() const { return library_ != nullptr; }
  const std::string& error() const { return error_; }

  // REQUIRES: loaded()
  bool Init(const char* configPath) const { return library_->Init(configPath); }
  bool Open() const { return library_->Open(); }
  bool StartNewTestCase() const { return library_->StartNewTestCase(); }
  bool SetTestName(const char* name) const {
    return library_->SetTestName(name);
  }
  bool GetCurrentPath() const { return library_->GetCurrentPath(); }
  bool GetCollectedInformation() const {
    return library_->GetCollectedInformation();
  }
  bool Close() const { return library_->Close(); }

 private:
  std::string error_;
  std::unique_ptr<HarnessLibrary> library_;
};

// Makes "path" the working directory for the lifetime of this object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDirectory() {
    std::error_code error;
    std::filesystem::current_path(saved_, error);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

// The log file at "path" as "LEVEL|message" lines, each checked for the
// timestamp layout and the CR LF ending. A line that does not fit (the
// continuation of a message that spans several lines, say) is kept whole
// behind "?|" so that a comparison shows it. Empty when there is no file.
inline std::vector<std::string> ReadLogLines(const std::string& path) {
  // Only the prefix goes through the expression: std::regex recurses per
  // character, and a logged answer may be megabytes long.
  static const std::regex kPrefix(
      R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d, (DEBUG |SIMPLE|ERROR )\]  )");
  constexpr std::size_t kPrefixSize = 31;
  std::vector<std::string> lines;
  std::string raw = ReadFile(path);
  if (raw == "<missing>") return lines;
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("?|" + raw.substr(start) + "<no CR LF>");
      break;
    }
    std::string line = raw.substr(start, end - start);
    std::smatch match;
    std::string prefix = line.substr(0, kPrefixSize);
    if (std::regex_match(prefix, match, kPrefix)) {
      std::string level = match[1].str();
      if (level.back() == ' ') level.pop_back();
      lines.push_back(level + "|" + line.substr(kPrefixSize));
    } else {
      lines.push_back("?|" + line);
    }
    start = end + 2;
  }
  return lines;
}

}  // namespace ostrivel::testing

#endif  // OSTRIVEL_TESTS_LOADED_LIBRARY_H_
