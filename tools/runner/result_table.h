#ifndef OSTRIVEL_RUNNER_RESULT_TABLE_H_
#define OSTRIVEL_RUNNER_RESULT_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "formats/result_format.h"

// Reading back the library's result file and the summary table that
// ostrivel-run prints from it.

namespace ostrivel::runner {

// One row of the result file; the numbers as the library wrote them.
struct ResultRow {
  std::string testName;
  std::string application;
  std::string traceLength;
  std::string coverage;
  std::string runtime;
  std::string covered;
  std::string notCovered;
};

struct ResultRows {
  std::vector<ResultRow> rows;
  int unreadableLines = 0;  // lines that are neither the header nor a row
};

// The size of the file at "path" in bytes, 0 when it does not exist.
std::uint64_t FileSize(const std::string& path);

// The bytes of the file at "path" from "offset" on: the rows written since
// the file had that size. A file that has become shorter was replaced, and
// is read whole. Empty when the file cannot be read.
std::string ReadFileFrom(const std::string& path, std::uint64_t offset);

// Splits result-file text into rows by formats::SplitResultRow. Lines end in
// LF or CR LF; header lines and empty lines are skipped. A line that is no
// row of seven fields (a test or application name holding ";" makes more) is
// counted in unreadableLines.
ResultRows ParseResultRows(const std::string& text);

// How one test of the list ended.
struct TestOutcome {
  std::string name;
  bool passed = false;
  bool serviceReached = true;
  // The lines of the probe that turned counting off in the test's programs
  // (a stale method list, say): its coverage is not to be trusted.
  std::vector<std::string> probeWarnings;
  bool skipped = false;  // passed, but the test skipped itself
};

// The summary table: one line per test and application, in the order of
// "outcomes" and, within a test, in the order of the rows. A test without
// rows gets one line that says why. The status of a test with probe
// warnings is marked "*", and a note under the table says what that means.
// Names appear with their control characters escaped.
std::string FormatSummaryTable(const std::vector<TestOutcome>& outcomes,
                               const std::vector<ResultRow>& rows);

// Replaces the trace length of every row whose result-file text is not a
// plain integer (six significant digits: "1.86541e+07") with the exact sum
// of the calls in its trace file, "baseLocation" + test + "_" + application
// + "_trace.csv". The sum is taken only when it rounds to the row's text,
// so a trace file left from an earlier evaluation changes nothing; a row
// without a readable trace file keeps its text.
void UseExactTraceLengths(const std::string& baseLocation,
                          std::vector<ResultRow>* rows);

// Why the run counts as uncovered: tests without a row (named), or rows
// that all show 0 % (or no percentage at all). Empty when every test has a
// row and some row shows coverage.
std::string CoverageShortfall(const std::vector<TestOutcome>& outcomes,
                              const std::vector<ResultRow>& rows);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_RESULT_TABLE_H_
