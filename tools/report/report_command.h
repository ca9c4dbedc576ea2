#ifndef OSTRIVEL_TOOLS_REPORT_REPORT_COMMAND_H_
#define OSTRIVEL_TOOLS_REPORT_REPORT_COMMAND_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"

namespace ostrivel::report {

// Exit codes of ostrivel-report.
inline constexpr int kDone = 0;
inline constexpr int kNoTestFound = 1;  // tests-for found no test
// Bad options, unreadable input, or no usable row to answer from.
inline constexpr int kCannotRead = 2;

// Where to read from, as the command line gives it; empty means "not set".
struct SourceOptions {
  std::string config;
  std::string results;
  std::string traces;
  std::string methods;
};

// The locations to read: with a configuration file its res_location,
// base_location and methods_location (the library's defaults for keys it
// lacks), without one the result file's folder holds the trace files and
// the "methods/" folder; options that are set win over both. Nothing, with
// a message in "*error", when the configuration file cannot be read.
std::optional<Locations> ResolveLocations(const SourceOptions& options,
                                          std::string* error);

// The three commands. Each reports the rows it cannot use on "err", one
// line per row, and returns an exit code.
// With "gaps", the page also lists the changed methods no test reaches.
int RunHtml(const Locations& locations, const std::string& page,
            std::ostream& out, std::ostream& err,
            const std::vector<ChangedGap>* gaps = nullptr,
            const std::vector<std::string>* unmappedChanges = nullptr);
int RunTestsFor(const Locations& locations, const std::string& application,
                const std::string& pattern, bool ignoreCase, bool eachMethod,
                std::ostream& out, std::ostream& err);
int RunUncovered(const Locations& locations, const std::string& application,
                 std::ostream& out, std::ostream& err);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_REPORT_COMMAND_H_
