#ifndef OSTRIVEL_TOOLS_REPORT_EXPORT_COMMAND_H_
#define OSTRIVEL_TOOLS_REPORT_EXPORT_COMMAND_H_

#include <ostream>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"

namespace ostrivel::report {

// What "export" is asked, as the command line gives it.
struct ExportRequest {
  std::string format = "lcov";  // "lcov" or "json"
  // The file to write (through a temporary name, renamed when complete);
  // empty: standard output.
  std::string output;
  // "PATH" or "APP=PATH", as "impacted" takes them (see ParseBinaries()).
  std::vector<std::string> binaries;
};

// Writes the per-test coverage of the latest row of every test and
// application, as an LCOV tracefile (one "TN:" section per test, function
// records with the file and line the programs' debug information gives) or
// as JSON. Methods without a file and line are counted on "err". Returns 0
// when written, 2 for input that cannot be used, no usable row, or an
// output file that cannot be written.
int RunExport(const Locations& locations, const ExportRequest& request,
              std::ostream& out, std::ostream& err);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_EXPORT_COMMAND_H_
