#ifndef OSTRIVEL_TOOLS_METHODS_PROFILED_METHODS_H_
#define OSTRIVEL_TOOLS_METHODS_PROFILED_METHODS_H_

// The method list of a program built with clang's -fprofile-instr-generate
// (the clang route), read from the program's own profile records
// (__llvm_prf_data) and names (__llvm_prf_names), so that every
// instrumented function is listed, also one that was inlined everywhere and
// has no symbol of its own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/methods/method_names.h"

namespace ostrivel::methods {

struct ProfiledMethod {
  std::uint64_t nameRef = 0;  // the record's name hash
  QualifiedName name;
  std::string symbol;      // the (mangled) symbol name
  std::string sourceFile;  // for internal linkage: the file it came from
};

// True when the ELF image "image" carries profile records.
bool HasProfileRecords(std::string_view image);

// The methods of the profile records of "image", in record order, one per
// name, as "selection" keeps them (by their demangled names). A profile name
// "file:name" (a function of internal linkage) is listed under "name".
// Returns false with a message in "*error" when the records or names are
// damaged, or a record's name is missing from the names.
bool ReadProfiledMethods(std::string_view image, const Selection& selection,
                         std::vector<ProfiledMethod>* methods,
                         std::string* error);

// The whole file: "ProjectName;<application>" and one
// "llvm:<hash>;Method;Package" line per method, each ended by LF.
std::string ProfiledMethodListText(const std::string& application,
                                   const std::vector<ProfiledMethod>& methods);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_PROFILED_METHODS_H_
