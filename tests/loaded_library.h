#ifndef OSTRIVEL_TESTS_LOADED_LIBRARY_H_
#define OSTRIVEL_TESTS_LOADED_LIBRARY_H_

// What the end-to-end tests share: the built library loaded the way a
// harness loads it, and its log read back line by line.

#include <dlfcn.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace ostrivel::testing {

// The seven exported functions of one loaded copy of the library
// (OSTRIVEL_LIBRARY_PATH), unloaded again when this object goes away.
class LoadedLibrary {
 public:
  LoadedLibrary()
      : handle_(dlopen(OSTRIVEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) return;
    Init = Find<TextFunction>("_ZN13Functionality4InitEPKc");
    Open = Find<PlainFunction>("_ZN13Functionality4OpenEv");
    StartNewTestCase =
        Find<PlainFunction>("_ZN13Functionality16StartNewTestCaseEv");
    SetTestName = Find<TextFunction>("_ZN13Functionality11SetTestNameEPKc");
    GetCurrentPath =
        Find<PlainFunction>("_ZN13Functionality14GetCurrentPathEv");
    GetCollectedInformation =
        Find<PlainFunction>("_ZN13Functionality23GetCollectedInformationEv");
    Close = Find<PlainFunction>("_ZN13Functionality5CloseEv");
  }
  ~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  // True when the library loaded and all seven functions were found.
  bool loaded() const {
    return Init && Open && StartNewTestCase && SetTestName && GetCurrentPath &&
           GetCollectedInformation && Close;
  }

  using TextFunction = bool (*)(const char*);
  using PlainFunction = bool (*)();
  TextFunction Init = nullptr;
  PlainFunction Open = nullptr;
  PlainFunction StartNewTestCase = nullptr;
  TextFunction SetTestName = nullptr;
  PlainFunction GetCurrentPath = nullptr;
  PlainFunction GetCollectedInformation = nullptr;
  PlainFunction Close = nullptr;

 private:
  template <typename Function>
  Function Find(const char* name) const {
    return reinterpret_cast<Function>(dlsym(handle_, name));
  }

  void* handle_;
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
