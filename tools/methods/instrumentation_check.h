#ifndef OSTRIVEL_TOOLS_METHODS_INSTRUMENTATION_CHECK_H_
#define OSTRIVEL_TOOLS_METHODS_INSTRUMENTATION_CHECK_H_

// Whether a built program can be counted at all: a program that was built
// without instrumentation, or whose hooks bind to the C library's empty
// ones instead of the probe's, runs fine and reports 0 % for every test.
// These checks read the program's ELF file and find that out before the
// tests run.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/methods/method_names.h"

namespace ostrivel::methods {

// Where the program's calls of __cyg_profile_func_enter go at run time.
enum class HookBinding {
  kNoReference,  // the program never calls the hook
  kProbe,        // libostrivel-probe.so, found before the C library
  kOwn,          // the program defines the hooks itself
  kCLibrary,     // the C library's empty hooks: the probe is not linked,
                 // or it comes after the C library in the lookup order
  kUnknown,      // a statically linked program: no lookup to follow
};

struct InstrumentationReport {
  // False when the file could not be checked (another machine than
  // x86-64, not an ELF file, damaged); "cannotCheck" says why and the
  // other fields are not meaningful.
  bool checked = false;
  std::string cannotCheck;

  // The clang route: the program carries profile records, every one of
  // which is counted; nothing else is checked then.
  bool profileRecords = false;

  HookBinding binding = HookBinding::kNoReference;
  bool probeNeeded = false;  // a NEEDED entry names libostrivel-probe.so
  // The NEEDED entry of the C library that comes first, when the probe is
  // also NEEDED but later ("libc.so.6").
  std::string cLibraryBeforeProbe;

  // The start addresses (symbol values) of the functions of ".text" whose
  // code calls the entry hook.
  std::set<std::uint64_t> hookCallers;
};

// Checks the ELF image "image" (as ReadElfFile() reads it). Never reads
// outside "image" and never fails: what it cannot tell is reported as not
// checked.
//
// A function counts as calling the entry hook when its bytes hold a
// "call rel32" (E8) to the hook's PLT entry (in .plt, .plt.sec or .plt.got)
// or to the program's own definition of the hook, or a "call *disp32(%rip)"
// (FF 15) through the hook's GOT slot (-fno-plt). The bytes are searched
// at every offset rather than decoded instruction by instruction: a match
// needs the exact 32-bit displacement to the hook from that very place,
// which the bytes of other instructions do not produce in practice, and a
// search needs no table of x86 instruction lengths.
InstrumentationReport CheckInstrumentation(std::string_view image);

// The methods of "methods" whose function calls the entry hook, in order.
std::vector<Method> InstrumentedMethods(const std::vector<Method>& methods,
                                        const InstrumentationReport& report);

// One line that says what is wrong with "report" for the program "path"
// and how to fix it, or nothing when the program can be counted (or could
// not be checked, which is not reported as a fault).
std::optional<std::string> DescribeProblem(const std::string& path,
                                           const InstrumentationReport& report);

// Reads the program at "path" and returns DescribeProblem() for it, or
// nothing when it is fine, cannot be read or is no program this check
// understands. For ostrivel-run, before it runs a program's tests.
std::optional<std::string> InstrumentationProblem(const std::string& path);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_INSTRUMENTATION_CHECK_H_
