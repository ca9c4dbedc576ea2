#include "testing/log_capture.h"

#include <filesystem>
#include <regex>

#include "harness/state.h"

namespace ostrivel::testing {

TestEnvironment::TestEnvironment(int logLevel) {
  harness::ResetState();
  auto& settings = harness::State().settings;
  settings.base_location = dir_.path();
  settings.log_location = logPath();
  settings.res_location = resultPath();
  settings.methods_location = methodsPath();
  settings.log_level = logLevel;
  std::filesystem::create_directory(methodsPath());
}

TestEnvironment::~TestEnvironment() { harness::ResetState(); }

config::Settings& TestEnvironment::settings() const {
  return harness::State().settings;
}

coverage::MethodLists& TestEnvironment::methodLists() const {
  return harness::State().methodLists;
}

std::string TestEnvironment::RawLog() const { return ReadFile(logPath()); }

std::vector<std::string> TestEnvironment::LogLines() const {
  static const std::regex prefix(
      R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d, (DEBUG |SIMPLE|ERROR )\]  )");
  std::vector<std::string> lines;
  std::string raw = RawLog();
  if (raw == "<missing>") return lines;
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(start, end - start);
    std::smatch match;
    if (std::regex_search(line, match, prefix)) {
      std::string level = match[1].str();
      while (!level.empty() && level.back() == ' ') level.pop_back();
      line = level + "|" + match.suffix().str();
    }
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::vector<std::string> TestEnvironment::LogMessages() const {
  std::vector<std::string> messages;
  for (const std::string& line : LogLines()) {
    std::size_t bar = line.find('|');
    messages.push_back(bar == std::string::npos ? line : line.substr(bar + 1));
  }
  return messages;
}

}  // namespace ostrivel::testing
