#include "tools/file_formats/config_value.h"

#include <fstream>
#include <sstream>

namespace ostrivel::tools {

namespace {

constexpr std::size_t kMaxLine = 1023;

std::string TrimSpaces(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::optional<std::string> FindConfigValue(const std::string& text,
                                           const std::string& key) {
  std::optional<std::string> value;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(position, end - position);
    position = end + 1;
    // Only a CR right before the line feed is part of the line end.
    if (end < text.size() && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    bool tooLong = line.size() > kMaxLine;
    if (tooLong) line.resize(kMaxLine);

    std::size_t colon = line.find(':');
    std::string lineKey =
        TrimSpaces(colon == std::string::npos ? line : line.substr(0, colon));
    if (lineKey == key) {
      value = TrimSpaces(colon == std::string::npos ? line
                                                    : line.substr(colon + 1));
    }
    if (tooLong) break;
  }
  return value;
}

std::optional<std::string> ReadConfigValue(const std::string& path,
                                           const std::string& key) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return FindConfigValue(text.str(), key);
}

}  // namespace ostrivel::tools
