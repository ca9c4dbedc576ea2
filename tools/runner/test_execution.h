#ifndef OSTRIVEL_RUNNER_TEST_EXECUTION_H_
#define OSTRIVEL_RUNNER_TEST_EXECUTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrivel/harness_library.h"
#include "tools/process/child_process.h"
#include "tools/runner/probe_warnings.h"
#include "tools/runner/test_list.h"

// One test as a harness runs it: SetTestName, StartNewTestCase, the
// command, GetCollectedInformation; and what the runner shows of it.

namespace ostrivel::runner {

struct TestExecution {
  bool serviceReached = false;  // StartNewTestCase returned true
  bool passed = false;
  bool skipped = false;  // a GoogleTest test that skipped itself
  std::int64_t elapsedMs = 0;
  // For a failed test: why, and the tail of its output, as shown below its
  // progress line ("    " and "    | " lines, each with its LF).
  std::string failure;
  std::vector<std::string> probeWarnings;
  // In a run on slots: the rows the library wrote for the test.
  std::string rows;
};

struct ExecutionOptions {
  process::CommandOptions command;  // environment and time limit
  bool showOutput = false;  // the command writes to the terminal directly
  bool gtest = false;       // a GoogleTest test: "SKIPPED" means skipped
};

// Runs "test" under "library", which is initialised and open. Adds
// OSTRIVEL_TEST_NAME and, when "warnings" has a file, OSTRIVEL_PROBE_WARNINGS
// to the command's environment.
TestExecution ExecuteTest(HarnessLibrary& library, const TestCase& test,
                          const ExecutionOptions& options,
                          ProbeWarnings& warnings);

// What follows a test's "[i/n] name ..." prefix: " PASS (12 ms)" and its
// notes, the probe's warnings and a failure's output, each line with LF.
std::string DescribeExecution(const TestExecution& execution);

// A TestExecution as bytes for a pipe, and back. Decode returns nothing for
// bytes Encode did not write.
std::string EncodeExecution(const TestExecution& execution);
std::optional<TestExecution> DecodeExecution(std::string_view bytes);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_TEST_EXECUTION_H_
