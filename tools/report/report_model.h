#ifndef OSTRIVEL_TOOLS_REPORT_REPORT_MODEL_H_
#define OSTRIVEL_TOOLS_REPORT_REPORT_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrivel::report {

// What the report shows, aggregated from a result file, its trace files and
// the method lists. Its size grows with tests + methods, never with
// tests x methods: per method only the number of tests that reach it and a
// few of them are kept.

inline constexpr std::uint32_t kNoTest = 0xffffffffu;

// A test that reached a method, with the calls its trace file shows.
struct TestCalls {
  std::uint32_t test = kNoTest;  // index into Report::tests
  std::int64_t calls = 0;
};

struct Application {
  std::string name;
  // The method-list lines, position i = method i.
  std::vector<std::string> methods;
  // Per method: how many tests (usable rows) reach it.
  std::vector<std::uint32_t> testsReaching;
  // Per method: the tests with the most calls of it (at most
  // Report::keptTestsPerMethod), most calls first, ties in test order.
  std::vector<std::vector<TestCalls>> topTests;
  // Methods reached by at least one test.
  std::size_t reached = 0;
  // Sum of the trace lengths of the usable rows.
  std::int64_t totalCalls = 0;
  // Usable rows of this application.
  std::size_t rows = 0;
};

// One usable result row: one test in one application.
struct Cell {
  bool present = false;
  std::int64_t traceLength = 0;  // exact, from the trace file
  std::uint32_t covered = 0;     // positions with a non-zero count
  std::uint32_t methods = 0;     // positions in the row
  // Methods this test reaches and no other test reaches.
  std::uint32_t onlyThisTest = 0;
  // The row's runtime field as written ("1500", "1.41e+12").
  std::string runtimeText;
  double runtime = 0;  // the same, as a number

  // Percent of the methods covered; 0 for a row without methods.
  double Coverage() const {
    return methods == 0 ? 0.0 : 100.0 * covered / methods;
  }
};

struct Test {
  std::string name;
  // Per application (same order as Report::applications).
  std::vector<Cell> cells;
  // Runtime of the test: that of its last usable row.
  double runtime = 0;
  std::string runtimeText;
  // Methods only this test reaches: (application, method position), in
  // application order then position order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> onlyThisTest;
};

// A result row the report cannot use, with the reason.
struct RefusedRow {
  std::uint64_t line = 0;  // 1-based line number in the result file
  std::string reason;      // one sentence, no line end
  std::string row;         // the row, shortened when long (see ShortenRow)
};

// A method a diff changes that no test reaches.
struct ChangedGap {
  std::string application;
  std::string method;  // its method-list line
  std::string file;    // its declaration
  std::uint32_t line = 0;
};

struct Report {
  std::string resultPath;
  std::string tracePrefix;  // what trace file names are appended to
  std::string methodsDirectory;
  std::vector<Application> applications;  // ascending name
  std::vector<Test> tests;                // in order of their first row
  std::vector<RefusedRow> refused;        // in file order
  // Method-list files that could not be read, one message each.
  std::vector<std::string> methodListProblems;
  // Rows replaced by a later row of the same test and application; only the
  // latest is used, since each run rewrites the trace files.
  std::uint64_t replacedRows = 0;
  std::size_t keptTestsPerMethod = 0;
  // Set when the page is written for a diff: the changed methods no test
  // reaches, and the changes that could not be mapped to methods.
  bool forDiff = false;
  std::vector<ChangedGap> gaps;
  std::vector<std::string> unmappedChanges;
};

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_REPORT_MODEL_H_
