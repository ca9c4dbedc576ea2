#ifndef OSTRIVEL_TOOLS_REPORT_MERGE_RUNS_H_
#define OSTRIVEL_TOOLS_REPORT_MERGE_RUNS_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"

namespace ostrivel::report {

// Where a run named on the command line put its files. "run" is
// - a folder: its "result.csv", the trace files beside it and its
//   "methods/" folder (the layout of a merged folder too);
// - a result file (its first line is the result header): the trace files
//   in its folder and that folder's "methods/", as with --results;
// - else the library's configuration file of the run, as with --config.
// Nothing, with a message in "*error", when the configuration file cannot
// be read.
std::optional<Locations> RunLocations(const std::string& run,
                                      std::string* error);

// Combines the runs, in the order given, into the folder "into": one
// "result.csv" (the header once, then every row of each run in its order),
// the trace files of the latest rows under the names the library gives them
// beside it, and the method lists in "methods/". Where a test and an
// application appear in two runs, the later run's row comes last (so it is
// the one the report uses) and its trace file is the one copied; each such
// replacement is reported on "err". Rows the report cannot use are kept and
// reported on "err" as the report reports them.
//
// Refuses, writing nothing, when "into" exists and is not an empty folder,
// when a run cannot be read, or when two runs hold different method lists
// for one application. Everything is written under a temporary folder
// beside "into" that is renamed to "into" at the end, so an interrupted
// merge leaves no half-written result file. Returns an exit code.
int RunMerge(const std::string& into, const std::vector<std::string>& runs,
             std::ostream& out, std::ostream& err);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_MERGE_RUNS_H_
