#ifndef OSTRIVEL_RUNNER_RUNNER_H_
#define OSTRIVEL_RUNNER_RUNNER_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// ostrivel-run: drives libostrivel.so the way a test harness does around
// the commands of a test list, then prints a table read from the result
// file.

namespace ostrivel::runner {

// The exit codes; the first two combine ("3": a test failed and the service
// could not be reached).
enum ExitCode : int {
  kSuccess = 0,
  // A command exited non-zero, died or timed out; or, when coverage is
  // required, a test got no row or every row shows 0 %.
  kTestFailed = 1,
  kServiceUnreachable = 2,  // StartNewTestCase returned false
  // No library, no tests, a bad test list; for a GoogleTest program also
  // no such program, no listing, no method list or no service.
  kCannotRun = 4,
};

struct RunOptions {
  std::string libraryPath;
  // Handed to Init. For a GoogleTest program it may be empty, or name a
  // service that does not answer: the run is then a private one.
  std::string configPath;
  std::string testListPath;  // see test_list.h

  // Instead of a test list: a GoogleTest program, each of its tests run
  // alone in a process of its own (see gtest_tests.h), and the filter of
  // its listing.
  std::string gtestProgram;
  std::string gtestFilter;
  // A private run: its output directory, the application name of the
  // program's method list (default: the program's file name), and what
  // is passed on to ostrivel-methods.
  std::string outputDirectory = "ostrivel-out";
  std::string application;
  std::vector<std::string> methodsArguments;

  // Fails the run when a test got no row or every row shows 0 %.
  bool requireCoverage = false;
  // The result file to read the table from; when not given, res_location
  // of the configuration file (the library's default when it has none).
  std::optional<std::string> resultPath;
  int timeoutSeconds = 0;  // per command; 0: no limit
  // Tests run at the same time, each slot of the service driven by a
  // harness process of its own (see slot_harnesses.h); 1 runs them one
  // after another in this process.
  int jobs = 1;
  // The service's --ports-file, naming its slots, for a run with jobs > 1
  // on a configuration's service; empty: OSTRIVEL_SLOTS.
  std::string portsFile;
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
//
// A private run (PrivateRun, private_run.h) gives the commands the
// variables its programs count with and is stopped before this returns,
// whatever happened.
//
// With "jobs" above 1 the tests run on the slots of the service (a private
// run starts one with that many): progress lines come as tests end, the
// rows go into the result file in the order of the list, and each slot has
// a log file of its own beside the configured one. Each command gets its
// slot's OSTRIVEL_CHANNEL, and its LLVM_PROFILE_FILE when one is given.
int RunTests(const RunOptions& options, std::ostream& out, std::ostream& err);

// The library to load when none is named: OSTRIVEL_LIBRARY when set, else
// the first existing of libostrivel.so beside the running program, two
// folders up (the build tree: build/tools/runner/ -> build/) and in ../lib;
// else the bare name for the dynamic linker's search path.
std::string DefaultLibraryPath();

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_RUNNER_H_
