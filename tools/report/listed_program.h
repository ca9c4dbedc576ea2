#ifndef OSTRIVEL_TOOLS_REPORT_LISTED_PROGRAM_H_
#define OSTRIVEL_TOOLS_REPORT_LISTED_PROGRAM_H_

// A program under test with its debug information, and where its functions
// lie in the method list it counts into: what impacted, gaps and export
// need to go from source lines to list positions and back.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/report/debug_lines.h"

namespace ostrivel::report {

// A program (or shared library) whose debug information maps the lines.
struct ImpactBinary {
  // The application whose method list was written from it; empty: the one
  // whose list's ".build-id" or ".modules" file names its build ID.
  std::string application;
  std::string path;
};

// A method-list file of a methods directory and where its lines start in
// its application's whole list.
struct ListFile {
  std::string path;
  std::string application;
  std::uint32_t base = 0;
  std::uint32_t size = 0;
};

// The method-list files of "directory" in the library's listing order, in
// which it appends two files of one application. False with a message in
// "*error" when the directory cannot be read.
bool FindListFiles(const std::string& directory, std::vector<ListFile>* files,
                   std::string* error);

struct ListedProgram {
  std::string path;
  std::string application;
  std::string buildId;  // empty when it has none
  DebugLines lines;
  // The list files it counts into, and whether a module table (".modules")
  // placed it.
  std::vector<const ListFile*> lists;
  bool inModuleTable = false;
  // How the list names its functions: by start address ("0x" lines and the
  // module table) or by profile name hash ("llvm:" lines).
  std::unordered_map<std::uint64_t, std::uint32_t> byOffset;
  std::unordered_map<std::uint64_t, std::uint32_t> byNameRef;

  // The list positions of the function "id" of "lines", ascending.
  std::vector<std::uint32_t> Positions(std::uint32_t id) const;
};

// Reads "binary" and finds the list it counts into among "files": the one
// of the application it names, else the list whose ".build-id" file, or
// whose ".modules" table, names its build ID. "listLines" are the lines of
// each application's whole list, by name. False with a message in "*error"
// when the program cannot be read, has no debug information or no list.
bool OpenListedProgram(
    const ImpactBinary& binary, const std::string& methodsDirectory,
    const std::vector<ListFile>& files,
    const std::unordered_map<std::string, const std::vector<std::string>*>&
        listLines,
    ListedProgram* program, std::string* error);

// The first line of the file at "path" without trailing CR and blanks, ""
// when it cannot be read: a ".build-id" file's build ID.
std::string FirstLine(const std::string& path);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_LISTED_PROGRAM_H_
