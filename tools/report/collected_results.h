#ifndef OSTRIVEL_TOOLS_REPORT_COLLECTED_RESULTS_H_
#define OSTRIVEL_TOOLS_REPORT_COLLECTED_RESULTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/report/report_model.h"

namespace ostrivel::report {

// Where the library put its results.
struct Locations {
  std::string results;           // the result file
  std::string tracePrefix;       // trace file = prefix + test + "_" + app...
  std::string methodsDirectory;  // the method-list files
};

// The trace file the library writes for a test and an application.
std::string TracePath(const Locations& locations, std::string_view test,
                      std::string_view application);

// A result row that matches its trace file and its method list.
struct UsableRow {
  std::uint64_t line = 0;
  std::uint32_t test = 0;         // index into Collection::tests
  std::uint32_t application = 0;  // index into Collection::applications
  std::uint32_t methods = 0;      // positions in the row
  // Covered positions, ascending, and their calls, one each.
  const std::vector<std::uint32_t>* covered = nullptr;
  const std::vector<std::int32_t>* calls = nullptr;
  std::int64_t traceLength = 0;
  std::string_view runtimeText;
  double runtime = 0;
};

struct Collection;

// Receives the usable rows in file order.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // Called once, before the first row, when the lists are known.
  virtual void Start(const Collection& collection) = 0;
  virtual void Use(const UsableRow& row) = 0;
};

// What reading the results found besides the usable rows.
struct Collection {
  // Every application with a method list, ascending, and its lines.
  std::vector<std::string> applications;
  std::vector<std::vector<std::string>> methods;
  // Tests with a usable row, in the order of their first one.
  std::vector<std::string> tests;
  std::vector<RefusedRow> refused;
  std::vector<std::string> methodListProblems;
  std::uint64_t replacedRows = 0;

  // Index of an application, or nothing.
  std::optional<std::uint32_t> FindApplication(std::string_view name) const;
};

// Reads the method lists, then the result file twice: first to find the
// latest row of every test and application (each run rewrites the trace
// files, so earlier rows cannot be matched with one), then to check each
// latest row against its method list and trace file and hand it to "sink".
// Rows that fail a check go to Collection::refused with the reason. With
// "onlyApplication", rows of other applications are skipped unread.
// Returns false with a message in "*error" when the result file or the
// methods directory cannot be read.
bool CollectResults(const Locations& locations,
                    const std::optional<std::string>& onlyApplication,
                    RowSink* sink, Collection* collection, std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_COLLECTED_RESULTS_H_
