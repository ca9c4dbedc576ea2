#ifndef OSTRIVEL_TOOLS_REPORT_REPORT_BUILDER_H_
#define OSTRIVEL_TOOLS_REPORT_REPORT_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"
#include "tools/report/report_model.h"

namespace ostrivel::report {

// How many tests per method the report keeps with their calls: all of them
// for small suites, fewer as the methods grow, so that the page stays small.
std::size_t KeptTestsPerMethod(std::size_t methods);

// Aggregates the usable rows into a Report as they stream by: per method
// the number of tests that reach it, the one test when it is the only one,
// and the tests with the most calls.
class ReportBuilder : public RowSink {
 public:
  // "keptTestsPerMethod" 0 keeps as many as KeptTestsPerMethod says.
  explicit ReportBuilder(std::size_t keptTestsPerMethod = 0)
      : kept_(keptTestsPerMethod) {}

  void Start(const Collection& collection) override;
  void Use(const UsableRow& row) override;

  // Moves everything into "*report" once the reading is done; the builder
  // is empty afterwards.
  void Finish(Collection&& collection, Report* report);

 private:
  static constexpr std::uint32_t kSeveralTests = kNoTest - 1;

  std::vector<Application> applications_;
  // Per application and method: the one test that reaches it, kNoTest when
  // none does and kSeveralTests when more do.
  std::vector<std::vector<std::uint32_t>> onlyTest_;
  std::vector<Test> tests_;
  std::size_t kept_ = 0;
};

// Reads the results at "locations" into "*report". False with a message in
// "*error" when the result file or the methods directory cannot be read.
bool BuildReport(const Locations& locations, Report* report,
                 std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_REPORT_BUILDER_H_
