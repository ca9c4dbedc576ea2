#ifndef OSTRIVEL_TOOLS_METHODS_METHOD_NAMES_H_
#define OSTRIVEL_TOOLS_METHODS_METHOD_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/methods/elf_symbols.h"
#include "tools/methods/pattern.h"

namespace ostrivel::methods {

// The demangled form of a symbol name; names that are not mangled C++ names
// (C functions) come back unchanged.
std::string Demangle(const std::string& symbol);

// A demangled function name cut into its scope (namespaces and classes,
// "shop::Cart") and the rest ("Add(int) const"). A return type in front
// (function templates) is dropped; a global function has an empty scope.
struct QualifiedName {
  std::string scope;
  std::string method;
};
QualifiedName SplitQualifiedName(std::string_view demangled);

// Which functions of a binary make its method list.
struct Selection {
  // Keep functions of the standard library (std::, __gnu_cxx::, placement
  // new and delete), which are left out by default.
  bool keepStandardLibrary = false;
  // When not empty, only functions whose demangled name matches one of
  // these are kept.
  std::vector<Pattern> include;
  // Functions whose demangled name matches one of these are left out.
  std::vector<Pattern> exclude;
};

// One line of a method list.
struct Method {
  std::uint64_t address = 0;
  QualifiedName name;
  // The symbol the line was made from, still mangled, and for a local one
  // its source file: together they tell one function across binaries.
  std::string symbol = {};
  std::string file = {};
};

// The methods of a binary, in ascending address order, one per address:
// every function of ".text" but
// - the start-up and runtime helpers that the toolchain links in (_start,
//   _init, _fini, frame_dummy, register_tm_clones, deregister_tm_clones,
//   __libc_csu_init/fini, _dl_relocate_static_pie, the constructors and
//   destructors of translation units)
//   and every name the implementation reserves (a leading "__", such as
//   the probe's hooks);
// - the compiler's partial copies of a function ("f.cold", "f.part.0",
//   "f.constprop.0"), which report the entry of the original;
// - the ostrivel_probe_* functions;
// - what "selection" leaves out.
// Of several names for one address (constructor aliases), the global one
// first in name order is kept.
std::vector<Method> SelectMethods(const std::vector<FunctionSymbol>& symbols,
                                  const Selection& selection);

// Whether "selection" keeps the function of demangled name "demangled" (cut
// into "name"): not one of the standard library's unless asked for, and as
// the patterns say.
bool Selected(const std::string& demangled, const QualifiedName& name,
              const Selection& selection);

// "ID;Method;Package" with the ID "id", shortened like MethodLine().
std::string MethodLineWithId(std::string_view id, const QualifiedName& name);

// "ID;Method;Package": the address in hex with "0x", the method and its
// scope; a ";" within a name becomes ",". A line that would exceed the
// 1023 characters a method-list reader takes is shortened, its names ending
// in "...", so that it never ends the list early.
std::string MethodLine(const Method& method);

// The whole file: "ProjectName;<application>" and one line per method,
// each ended by LF.
std::string MethodListText(const std::string& application,
                           const std::vector<Method>& methods);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_METHOD_NAMES_H_
