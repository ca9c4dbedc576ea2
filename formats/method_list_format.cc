#include "formats/method_list_format.h"

#include <utility>

#include "formats/names.h"
#include "platform/text_file.h"

namespace ostrivel::formats {

std::string ApplicationOfHeader(std::string_view header) {
  std::size_t semicolon = header.find(';');
  std::string name(semicolon == std::string_view::npos
                       ? header
                       : header.substr(semicolon + 1));
  // Answers name their applications without line breaks; a carriage return
  // left in the header must not keep the two names apart.
  ReplaceLineBreaks(name);
  return name;
}

bool IsMethodListName(std::string_view name) {
  return name.size() >= 3 && name.substr(name.size() - 3) == "csv";
}

MethodListRead ReadMethodList(const std::string& path, MethodListFile* file) {
  platform::LineReader reader;
  if (!reader.Open(path)) return MethodListRead::kCannotOpen;
  // Whether the header read succeeded does not matter: an empty file gives
  // an empty header, which lacks the marker; an over-long header is judged
  // by its first 1023 characters, and the failed reader then stores no line.
  std::string header;
  reader.ReadLine(&header);
  if (header.find(kMethodListMarker) == std::string::npos) {
    return MethodListRead::kNoProjectName;
  }
  file->application = ApplicationOfHeader(header);
  file->lines.clear();
  // Only lines that ended in a line feed count: a last line without one is
  // reported as the end of the file, an over-long line as a failure, and
  // either ends the list.
  std::string line;
  while (reader.ReadLine(&line) == platform::LineReader::Status::kGood) {
    file->lines.push_back(line);
  }
  return MethodListRead::kRead;
}

std::optional<MethodListFile> ReadMethodListFile(const std::string& path,
                                                 std::string* error) {
  MethodListFile file;
  switch (ReadMethodList(path, &file)) {
    case MethodListRead::kRead:
      return file;
    case MethodListRead::kCannotOpen:
      *error = "\"" + path + "\" can't be opened";
      break;
    case MethodListRead::kNoProjectName:
      *error = "\"" + path + "\" has no \"ProjectName\" header";
      break;
  }
  return std::nullopt;
}

}  // namespace ostrivel::formats
