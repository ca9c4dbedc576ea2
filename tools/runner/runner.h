#ifndef OSTRIVEL_RUNNER_RUNNER_H_
#define OSTRIVEL_RUNNER_RUNNER_H_

#include <optional>
#include <ostream>
#include <string>

// ostrivel-run: drives libostrivel.so the way a test harness does around
// the commands of a test list, then prints a table read from the result
// file.

namespace ostrivel::runner {

// The exit codes; the first two combine ("3": a test failed and the service
// could not be reached).
enum ExitCode : int {
  kSuccess = 0,
  kTestFailed = 1,          // a command exited non-zero, died or timed out
  kServiceUnreachable = 2,  // StartNewTestCase returned false
  kCannotRun = 4,           // no library, no tests or a bad test list
};

struct RunOptions {
  std::string libraryPath;
  std::string configPath;    // handed to Init
  std::string testListPath;  // see test_list.h
  // The result file to read the table from; when not given, res_location
  // of the configuration file (the library's default when it has none).
  std::optional<std::string> resultPath;
  int timeoutSeconds = 0;   // per command; 0: no limit
  bool showOutput = false;  // commands write to the terminal directly
};

// Runs the tests of the list and returns an ExitCode. Progress and the
// table go to "out", problems of the runner itself to "err".
//
// Per test, in this order: SetTestName(name), StartNewTestCase(), the
// command (with OSTRIVEL_TEST_NAME=name added to its environment),
// GetCollectedInformation(). Init and Open come before the first test,
// Close after the last. A failed test's output is shown after its progress
// line unless "showOutput" is set.
int RunTests(const RunOptions& options, std::ostream& out, std::ostream& err);

// The library to load when none is named: OSTRIVEL_LIBRARY when set, else
// the first existing of libostrivel.so beside the running program, two
// folders up (the build tree: build/tools/runner/ -> build/) and in ../lib;
// else the bare name for the dynamic linker's search path.
std::string DefaultLibraryPath();

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_RUNNER_H_
