#include "coverage/method_list.h"

#include <iterator>

#include "formats/method_list_format.h"
#include "log/log.h"

namespace ostrivel::coverage {
namespace {

using log::LogLevel;
using log::WriteLog;

}  // namespace

void OpenMethodList(const std::string& path, MethodLists& lists) {
  WriteLog(LogLevel::Debug, "Open method list. (name: ", path, ")");
  formats::MethodListFile file;
  switch (formats::ReadMethodList(path, &file)) {
    case formats::MethodListRead::kCannotOpen:
      WriteLog(LogLevel::Error, "\"", path, "\" can't be opened!");
      return;
    case formats::MethodListRead::kNoProjectName:
      WriteLog(LogLevel::Error, "\"", path, "\" wrong file format!");
      return;
    case formats::MethodListRead::kRead:
      break;
  }
  // An application named by an earlier file keeps its lines; this file's
  // lines follow them.
  MethodList& methods = lists[file.application];
  if (methods.empty()) {
    methods = std::move(file.lines);
  } else {
    methods.insert(methods.end(), std::make_move_iterator(file.lines.begin()),
                   std::make_move_iterator(file.lines.end()));
  }
}

}  // namespace ostrivel::coverage
