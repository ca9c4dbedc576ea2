#include "formats/config_format.h"

#include "platform/text_file.h"

namespace ostrivel::formats {

OptionText SplitOptionLine(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {line, line};
  return {line.substr(0, colon), line.substr(colon + 1)};
}

std::string_view TrimBlanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

bool ReadConfigLines(const std::string& path,
                     const std::function<void(const std::string&)>& apply) {
  platform::LineReader reader;
  if (!reader.Open(path)) return false;
  std::string line;
  while (reader.Good()) {
    // A line counts whatever the read reported: a last line without a line
    // feed, and the first 1023 characters of an over-long line, after which
    // the reader has failed.
    reader.ReadLine(&line);
    apply(line);
  }
  return true;
}

std::optional<std::string> ReadConfigValue(const std::string& path,
                                           std::string_view key) {
  std::optional<std::string> value;
  bool read = ReadConfigLines(path, [&](const std::string& line) {
    OptionText option = SplitOptionLine(line);
    if (TrimBlanks(option.key) == key) {
      value = std::string(TrimBlanks(option.value));
    }
  });
  if (!read) return std::nullopt;
  return value;
}

}  // namespace ostrivel::formats
