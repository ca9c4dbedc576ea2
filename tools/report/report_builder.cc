#include "tools/report/report_builder.h"

#include <algorithm>
#include <utility>

namespace ostrivel::report {

namespace {

// Entries of all per-method test lists together; a few megabytes of page.
constexpr std::size_t kKeptTestsBudget = 500'000;
constexpr std::size_t kMinKeptTests = 5;
constexpr std::size_t kMaxKeptTests = 1000;

// Orders the kept tests of a method: more calls first, then the earlier
// test.
bool MoreCalls(const TestCalls& a, const TestCalls& b) {
  return a.calls != b.calls ? a.calls > b.calls : a.test < b.test;
}

}  // namespace

std::size_t KeptTestsPerMethod(std::size_t methods) {
  return std::clamp(kKeptTestsBudget / std::max<std::size_t>(methods, 1),
                    kMinKeptTests, kMaxKeptTests);
}

void ReportBuilder::Start(const Collection& collection) {
  std::size_t methods = 0;
  applications_.resize(collection.applications.size());
  onlyTest_.resize(collection.applications.size());
  for (std::size_t a = 0; a < applications_.size(); ++a) {
    std::size_t size = collection.methods[a].size();
    applications_[a].testsReaching.assign(size, 0);
    applications_[a].topTests.resize(size);
    onlyTest_[a].assign(size, kNoTest);
    methods += size;
  }
  if (kept_ == 0) kept_ = KeptTestsPerMethod(methods);
}

void ReportBuilder::Use(const UsableRow& row) {
  if (row.test >= tests_.size()) {
    tests_.resize(row.test + 1);
    tests_[row.test].cells.resize(applications_.size());
  }
  Test& test = tests_[row.test];
  Cell& cell = test.cells[row.application];
  cell.present = true;
  cell.traceLength = row.traceLength;
  cell.covered = static_cast<std::uint32_t>(row.covered->size());
  cell.methods = row.methods;
  cell.runtimeText = row.runtimeText;
  cell.runtime = row.runtime;
  test.runtime = row.runtime;
  test.runtimeText = row.runtimeText;

  Application& application = applications_[row.application];
  std::vector<std::uint32_t>& onlyTest = onlyTest_[row.application];
  const std::vector<std::uint32_t>& covered = *row.covered;
  const std::vector<std::int32_t>& calls = *row.calls;
  for (std::size_t k = 0; k < covered.size(); ++k) {
    std::uint32_t method = covered[k];
    ++application.testsReaching[method];
    onlyTest[method] = onlyTest[method] == kNoTest ? row.test : kSeveralTests;

    // A heap whose front is the weakest of the kept tests.
    std::vector<TestCalls>& top = application.topTests[method];
    TestCalls candidate{row.test, calls[k]};
    if (top.size() < kept_) {
      top.push_back(candidate);
      std::push_heap(top.begin(), top.end(), MoreCalls);
    } else if (MoreCalls(candidate, top.front())) {
      std::pop_heap(top.begin(), top.end(), MoreCalls);
      top.back() = candidate;
      std::push_heap(top.begin(), top.end(), MoreCalls);
    }
  }
}

void ReportBuilder::Finish(Collection&& collection, Report* report) {
  for (std::size_t a = 0; a < applications_.size(); ++a) {
    Application& application = applications_[a];
    application.name = std::move(collection.applications[a]);
    application.methods = std::move(collection.methods[a]);
    for (auto& top : application.topTests) {
      std::sort_heap(top.begin(), top.end(), MoreCalls);
      top.shrink_to_fit();
    }
    for (std::size_t m = 0; m < application.testsReaching.size(); ++m) {
      if (application.testsReaching[m] == 0) continue;
      ++application.reached;
      if (application.testsReaching[m] == 1) {
        Test& test = tests_[onlyTest_[a][m]];
        test.onlyThisTest.emplace_back(static_cast<std::uint32_t>(a),
                                       static_cast<std::uint32_t>(m));
        ++test.cells[a].onlyThisTest;
      }
    }
  }
  for (std::size_t t = 0; t < tests_.size(); ++t) {
    tests_[t].name = std::move(collection.tests[t]);
    for (std::size_t a = 0; a < applications_.size(); ++a) {
      const Cell& cell = tests_[t].cells[a];
      if (!cell.present) continue;
      ++applications_[a].rows;
      applications_[a].totalCalls += cell.traceLength;
    }
  }
  report->applications = std::move(applications_);
  report->tests = std::move(tests_);
  report->refused = std::move(collection.refused);
  report->methodListProblems = std::move(collection.methodListProblems);
  report->replacedRows = collection.replacedRows;
  report->keptTestsPerMethod = kept_;
  applications_.clear();
  onlyTest_.clear();
  tests_.clear();
}

bool BuildReport(const Locations& locations, Report* report,
                 std::string* error) {
  ReportBuilder builder;
  Collection collection;
  if (!CollectResults(locations, std::nullopt, &builder, &collection, error)) {
    return false;
  }
  builder.Finish(std::move(collection), report);
  report->resultPath = locations.results;
  report->tracePrefix = locations.tracePrefix;
  report->methodsDirectory = locations.methodsDirectory;
  return true;
}

}  // namespace ostrivel::report
