#ifndef OSTRIVEL_TOOLS_REPORT_LIBRARY_RESULTS_H_
#define OSTRIVEL_TOOLS_REPORT_LIBRARY_RESULTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "tools/report/collected_results.h"

namespace ostrivel::report {

// Results written by the library's own evaluation into a temporary folder,
// for the report's tests: "result.csv", the trace files beside it and the
// method lists in "methods/".
class LibraryResults {
 public:
  using Counts = std::map<std::string, std::vector<std::int32_t>>;

  LibraryResults();

  // Writes "methods/<file>.csv" naming "application", and (unless
  // "libraryLoadsIt" is false) gives the library the same list.
  void AddMethodList(const std::string& application,
                     const std::vector<std::string>& lines,
                     bool libraryLoadsIt = true);
  // Gives the library a list different from the file's.
  void SetLibraryList(const std::string& application,
                      const std::vector<std::string>& lines);
  // Takes the library's list away, as when its file did not load.
  void DropLibraryList(const std::string& application);

  // One test as the library sees it: the start answer, then the answer with
  // the counts, "runtime" milliseconds later.
  void RunTest(const std::string& name, const Counts& counts,
               int runtime = 1500);

  // Appends raw bytes to the result file.
  void AppendToResults(const std::string& bytes);

  Locations locations() const;
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  testing::TempDir dir_;
};

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_LIBRARY_RESULTS_H_
