#ifndef OSTRIVEL_TOOLS_METHODS_MODULE_TABLE_H_
#define OSTRIVEL_TOOLS_METHODS_MODULE_TABLE_H_

// One application's method list made from one or more binaries (programs
// and the shared libraries they load), and its module table: the file
// "<list>.modules" beside the list, from which libostrivel-probe learns, for
// each binary, at which offset each listed function starts and which line
// of the list it counts into. The file's name does not end in "csv", so
// neither the library nor the service takes it for a method list.
//
// Its format, one record a line, fields separated by one blank:
//   ostrivel-modules 1
//   module <program|library> <build ID in hex, "-" when none> <file name>
//   <offset in hex> <line position in decimal>      (any number of these)
//   module ...
// A function line belongs to the module line above it. The file name is the
// binary's base name; it names the module in messages and lets the probe
// tell a stale list when a loaded file of that name has another build ID.

#include <optional>
#include <string>
#include <vector>

#include "tools/methods/elf_symbols.h"
#include "tools/methods/method_names.h"

namespace ostrivel::methods {

struct ListedBinary {
  std::string fileName;                // base name
  std::optional<std::string> buildId;  // lower-case hex
  bool program = false;                // defines main()
  std::vector<Method> methods;         // as SelectMethods() returns them
};

// True when "symbols" define main(): the binary is a program, not a library.
bool DefinesMain(const std::vector<FunctionSymbol>& symbols);

struct CombinedList {
  std::string listText;     // the method list
  std::string modulesText;  // the module table
  std::size_t methodCount = 0;
};

// The list of "binaries" as one application: one line per function, the
// functions of the first binary in its order, then those of the next that
// are new, and so on. A function is the same in two binaries when its
// mangled name is; a local (static) one also needs the same source file.
// One binary keeps its "0x<offset>" IDs; several get "sym:<hash>" IDs (a
// hash of the name and file), which no offset can be taken for.
CombinedList CombineBinaries(const std::string& application,
                             const std::vector<ListedBinary>& binaries);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_MODULE_TABLE_H_
