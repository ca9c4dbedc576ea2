#ifndef OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_
#define OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The build IDs that tell a stale method list: ostrivel-methods writes the
// GNU build ID of the program it listed to "<list>.build-id" (one line of
// lower-case hex digits); the probe compares it with the running program's.

namespace ostrivel::probe {

// The GNU build ID (NT_GNU_BUILD_ID note) of the running program, the
// executable itself and not a shared library, as lower-case hex digits.
// Nothing when it was linked without one.
std::optional<std::string> ProgramBuildId();

// One object loaded in the process: the executable or a shared object.
struct LoadedModule {
  std::uintptr_t bias = 0;   // added to a link-time offset gives the address
  std::uintptr_t start = 0;  // its loaded segments span [start, end)
  std::uintptr_t end = 0;
  bool executable = false;
  std::string fileName;  // the base name of its file
  std::optional<std::string> buildId;
};

// Every object loaded right now, the executable first.
std::vector<LoadedModule> LoadedModules();

// What the build-ID file of the method list at "listPath" says.
struct ListBuildId {
  bool present = false;  // false: no such file, the list cannot be checked
  std::string id;        // its first line; empty when it cannot be read
};
ListBuildId ReadListBuildId(const std::string& listPath);

// The text of "<listPath>.modules", the module table that ostrivel-methods
// writes for a list of a library or of several binaries (its format is in
// tools/methods/module_table.h). Nothing when there is no such file; an
// empty text when it cannot be read.
std::optional<std::string> ReadModuleTableText(const std::string& listPath);

}  // namespace ostrivel::probe

#endif  // OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_
