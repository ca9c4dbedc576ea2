#ifndef OSTRIVEL_TOOLS_REPORT_EXPORT_PLACES_H_
#define OSTRIVEL_TOOLS_REPORT_EXPORT_PLACES_H_

// Where the listed methods of an application are declared, from the debug
// information of the program its list was written for.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/report/impact.h"

namespace ostrivel::report {

// A method's declaration; "line" is 0 when the debug information does not
// give it.
struct MethodPlace {
  std::string file;  // absolute, as the debug information names it
  std::uint32_t line = 0;
};

// The places of one application's methods, by list position.
struct ApplicationPlaces {
  std::string application;
  std::string binary;
  std::vector<MethodPlace> methods;
};

// Reads each program of "binaries" and the method lists in
// "methodsDirectory", finds the list each program counts into (by name with
// "APP=PATH", else the list whose ".build-id" or ".modules" file names the
// program's build ID) and fills "*places" with one entry per program.
// Functions are matched to the list by their start address ("0x" lines),
// the module table (".modules") or the profile name's hash ("llvm:" lines).
// Returns false with a message in "*error" when a program cannot be read,
// has no debug information or has no list.
bool FindMethodPlaces(const std::string& methodsDirectory,
                      const std::vector<ImpactBinary>& binaries,
                      std::vector<ApplicationPlaces>* places,
                      std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_EXPORT_PLACES_H_
