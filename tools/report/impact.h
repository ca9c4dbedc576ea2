#ifndef OSTRIVEL_TOOLS_REPORT_IMPACT_H_
#define OSTRIVEL_TOOLS_REPORT_IMPACT_H_

// From a change to the tests it concerns: the listed methods that a diff
// changes, by the programs' debug information, and the tests whose latest
// trace files show a call of one of them.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"
#include "tools/report/listed_program.h"
#include "tools/report/unified_diff.h"

namespace ostrivel::report {

struct ImpactOptions {
  std::vector<ImpactBinary> binaries;
  // When not empty, the diff's paths are relative to this folder, the source
  // tree the programs were compiled from; else a diff path names every file
  // of the debug information whose last path components it is.
  std::string sourceRoot;
  // Read the run through the index beside the result file (see
  // impact_index.h), writing it when it is missing or stale.
  bool useIndex = true;
};

// A listed method the diff changes.
struct ChangedMethod {
  std::uint32_t application = 0;  // index into Collection::applications
  std::uint32_t method = 0;       // position in the method list
  std::string file;               // its declaration, as the debug info says
  std::uint32_t line = 0;
  std::uint32_t tests = 0;  // tests whose latest row reaches it
};

struct ImpactedTest {
  std::string name;
  double runtime = 0;  // the longest of its usable rows
  std::string runtimeText;
  // Indices into ImpactAnswer::changed, ascending.
  std::vector<std::uint32_t> methods;
};

struct ImpactAnswer {
  Collection collection;
  std::vector<ChangedMethod> changed;
  // Why the traces cannot speak for the change (each a sentence): when not
  // empty, every test must run.
  std::vector<std::string> reasons;
  // The tests reaching a changed method: more changed methods first, then
  // the shorter runtime, then in result-file order.
  std::vector<ImpactedTest> tests;
  std::size_t usableRows = 0;
  // Tests whose rows in the result file could none be used, in file order:
  // nothing tells that they miss the change.
  std::vector<std::string> untraced;
  // Why the index could not be written, when it could not.
  std::string indexProblem;
};

// Maps "changes" to the listed methods of the programs in "options" and
// reads the results at "locations". Returns false with a message in
// "*error" for input that cannot be used at all: results or method lists
// that cannot be read, a program that cannot be read or has no debug
// information, a program no method list was written for.
bool FindImpact(const Locations& locations, const ImpactOptions& options,
                const std::vector<FileChange>& changes, ImpactAnswer* answer,
                std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_IMPACT_H_
