#ifndef OSTRIVEL_TOOLS_REPORT_IMPACT_INDEX_H_
#define OSTRIVEL_TOOLS_REPORT_IMPACT_INDEX_H_

// Who reaches what in a run, as "impacted" needs it: per listed method the
// tests whose latest usable row reaches it. Reading that from the result
// and trace files means reading all of them; an index beside the result
// file keeps it, so that a later question reads only the methods it asks
// about.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/report/collected_results.h"

namespace ostrivel::report {

// The trace file of a usable row and when it was written.
struct TraceTime {
  std::filesystem::file_time_type modified;
  std::string path;
};

// A run reduced to what a selection needs.
struct RunReach {
  // As CollectResults fills it.
  Collection collection;
  std::size_t usableRows = 0;
  // Per application (Collection::applications order): its usable rows, and
  // the oldest of their trace files (the first in file order among equals;
  // nothing when none could be looked at).
  std::vector<std::size_t> rowsOf;
  std::vector<std::optional<TraceTime>> oldestTrace;
  // Per test (Collection::tests order): the longest runtime of its usable
  // rows, as a number and as written.
  std::vector<double> runtime;
  std::vector<std::string> runtimeText;
  // Why the index could not be written, when it could not; the answer is
  // the same, only the next question is slow again.
  std::string indexProblem;
};

// Where the index of the run at "locations" is: beside the result file.
std::string ReachIndexPath(const Locations& locations);

// A method: an application (index into Collection::applications) and a
// position in its list.
using MethodAt = std::pair<std::uint32_t, std::uint32_t>;

// Reads the run at "locations" (whose result file exists) into "*reach" and
// puts into (*reaching)[i] the tests (indices into Collection::tests,
// ascending) whose latest usable row reaches wanted[i].
//
// With "useIndex" the index is read when it is up to date: written for the
// same locations, and the result file, every method list and the trace
// file of every latest row have the size and modification time it
// recorded. Otherwise the result and trace files are read and the index is
// written anew (to a new file then renamed over the old one). The answer is
// the same either way.
//
// Returns false with a message in "*error" where CollectResults would.
bool ReadReach(const Locations& locations, bool useIndex,
               const std::vector<MethodAt>& wanted, RunReach* reach,
               std::vector<std::vector<std::uint32_t>>* reaching,
               std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_IMPACT_INDEX_H_
