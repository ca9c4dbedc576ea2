#ifndef OSTRIVEL_FORMATS_METHOD_LIST_FORMAT_H_
#define OSTRIVEL_FORMATS_METHOD_LIST_FORMAT_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::formats {

// The text a method list's header must contain.
inline constexpr std::string_view kMethodListMarker = "ProjectName";

// One method-list file: the application its header names and its method
// lines. Position i of the lines is the i-th call count the service reports
// for the application, so every reader must read the file by these rules:
// - the header must contain "ProjectName"; the application is the text after
//   its first ";" (the whole header when it holds none), with each CR or LF
//   in it replaced by "_";
// - lines end at LF, a CR before the LF is dropped;
// - a last line without LF is not a method;
// - a line longer than 1023 characters ends the list (it and every later
//   line are not methods).
struct MethodListFile {
  std::string application;
  std::vector<std::string> lines;
};

enum class MethodListRead {
  kRead,
  kCannotOpen,     // missing, unreadable, or no regular file or device
  kNoProjectName,  // the header lacks the marker
};

// Reads the method list at "path" into "*file".
MethodListRead ReadMethodList(const std::string& path, MethodListFile* file);

// The same, with a message for the tools in "*error" when the file cannot be
// used: "\"<path>\" can't be opened" or "\"<path>\" has no \"ProjectName\"
// header".
std::optional<MethodListFile> ReadMethodListFile(const std::string& path,
                                                 std::string* error);

// The application named by a header line (see MethodListFile).
std::string ApplicationOfHeader(std::string_view header);

// Whether a methods directory's entry of this name is read as a method
// list: its name ends in "csv", with or without a dot before it. Entries
// that are directories are never read.
bool IsMethodListName(std::string_view name);

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_METHOD_LIST_FORMAT_H_
