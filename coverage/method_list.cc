#include "coverage/method_list.h"

#include "coverage/name.h"
#include "log/log.h"
#include "platform/text_file.h"

namespace ostrivel::coverage {
namespace {

using log::LogLevel;
using log::WriteLog;

}  // namespace

void OpenMethodList(const std::string& path, MethodLists& lists) {
  WriteLog(LogLevel::Debug, "Open method list. (name: ", path, ")");
  platform::LineReader file;
  if (!file.Open(path)) {
    WriteLog(LogLevel::Error, "\"", path, "\" can't be opened!");
    return;
  }
  // Whether the header read succeeded does not matter: an empty file gives
  // an empty header, which lacks the marker; an over-long header is judged
  // by its first 1023 characters, and the failed reader then stores no line.
  std::string header;
  file.ReadLine(&header);
  if (header.find("ProjectName") == std::string::npos) {
    WriteLog(LogLevel::Error, "\"", path, "\" wrong file format!");
    return;
  }
  std::size_t semicolon = header.find(';');
  std::string applicationName =
      semicolon == std::string::npos ? header : header.substr(semicolon + 1);
  // Answers name their applications without line breaks; a carriage return
  // left in the header must not keep the two names apart.
  ReplaceLineBreaks(applicationName);
  // An application named by an earlier file keeps its lines; this file's
  // lines follow them.
  MethodList& methods = lists[applicationName];
  // Only lines that ended in a line feed count: a last line without one is
  // reported as the end of the file, an over-long line as a failure, and
  // either ends the list.
  std::string line;
  while (file.ReadLine(&line) == platform::LineReader::Status::kGood) {
    methods.push_back(line);
  }
}

}  // namespace ostrivel::coverage
