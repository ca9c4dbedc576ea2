#include "tools/file_formats/method_list_file.h"

#include "platform/text_file.h"

namespace ostrivel::tools {

std::string ApplicationOfHeader(const std::string& header) {
  std::size_t semicolon = header.find(';');
  return semicolon == std::string::npos ? header : header.substr(semicolon + 1);
}

std::optional<MethodListFile> ReadMethodListFile(const std::string& path,
                                                 std::string* error) {
  // The library's own line reader, so that both sides agree on every limit.
  platform::LineReader reader;
  if (!reader.Open(path)) {
    *error = "\"" + path + "\" can't be opened";
    return std::nullopt;
  }
  std::string header;
  reader.ReadLine(&header);
  if (header.find("ProjectName") == std::string::npos) {
    *error = "\"" + path + "\" has no \"ProjectName\" header";
    return std::nullopt;
  }
  MethodListFile file;
  file.application = ApplicationOfHeader(header);
  if (!reader.Good()) return file;
  std::string line;
  while (reader.ReadLine(&line) == platform::LineReader::Status::kGood) {
    file.lines.push_back(line);
  }
  return file;
}

}  // namespace ostrivel::tools
