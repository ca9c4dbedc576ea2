#ifndef OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_
#define OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_

#include <optional>
#include <string>

// The build IDs that tell a stale method list: ostrivel-methods writes the
// GNU build ID of the program it listed to "<list>.build-id" (one line of
// lower-case hex digits); the probe compares it with the running program's.

namespace ostrivel::probe {

// The GNU build ID (NT_GNU_BUILD_ID note) of the running program, the
// executable itself and not a shared library, as lower-case hex digits.
// Nothing when it was linked without one.
std::optional<std::string> ProgramBuildId();

// What the build-ID file of the method list at "listPath" says.
struct ListBuildId {
  bool present = false;  // false: no such file, the list cannot be checked
  std::string id;        // its first line; empty when it cannot be read
};
ListBuildId ReadListBuildId(const std::string& listPath);

}  // namespace ostrivel::probe

#endif  // OSTRIVEL_TOOLS_PROBE_BUILD_ID_H_
