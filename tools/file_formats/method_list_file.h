#ifndef OSTRIVEL_TOOLS_FILE_FORMATS_METHOD_LIST_FILE_H_
#define OSTRIVEL_TOOLS_FILE_FORMATS_METHOD_LIST_FILE_H_

#include <optional>
#include <string>
#include <vector>

namespace ostrivel::tools {

// One method-list file: the application its header names and its method
// lines, read by the same rules as the coverage library reads it, so that
// position i means the same method on both sides:
// - the header must contain "ProjectName"; the application is the text after
//   its first ";" (the whole header when it holds none);
// - lines end at LF, a CR before the LF is dropped;
// - a last line without LF is not a method;
// - a line longer than 1023 characters ends the list (it and every later
//   line are not methods).
struct MethodListFile {
  std::string application;
  std::vector<std::string> lines;
};

// Reads "path". Returns nothing and a message in "*error" when the file
// cannot be opened or its header lacks "ProjectName".
std::optional<MethodListFile> ReadMethodListFile(const std::string& path,
                                                 std::string* error);

// The application named by a header line: the text after the first ";", or
// the whole line when it holds none.
std::string ApplicationOfHeader(const std::string& header);

}  // namespace ostrivel::tools

#endif  // OSTRIVEL_TOOLS_FILE_FORMATS_METHOD_LIST_FILE_H_
