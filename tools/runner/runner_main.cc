// ostrivel-run: a test harness for command-line tests with per-test
// coverage. See runner.h and test_list.h.

#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/printable/printable.h"
#include "tools/runner/runner.h"

namespace {

int Main(int argc, char** argv) {
  ostrivel::runner::RunOptions options;
  std::string resultPath;

  CLI::App app{
      "Runs the tests of a test list under libostrivel.so: per test "
      "SetTestName, StartNewTestCase, the command, GetCollectedInformation; "
      "then prints a table per test and application from the result file.\n"
      "Test list: one test per line, \"name<TAB>command\" (run with "
      "/bin/sh -c); blank lines and lines starting with # are skipped.\n"
      "Exit code: 0 all passed; 1 a test failed; 2 the collection service "
      "could not be reached; 3 both; 4 nothing could be run.",
      "ostrivel-run"};
  app.add_option("tests", options.testListPath, "The test list")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("-c,--config", options.configPath,
                 "The library's configuration file, handed to Init")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("-l,--library", options.libraryPath,
                 "The libostrivel.so to load (default: OSTRIVEL_LIBRARY, "
                 "else the one of this build tree, else the linker's search "
                 "path)");
  app.add_option("-r,--result", resultPath,
                 "The result file to read the table from (default: "
                 "res_location of the configuration file)");
  app.add_option("-t,--timeout", options.timeoutSeconds,
                 "Seconds a test command may run before it is killed "
                 "(0: no limit)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--show-output", options.showOutput,
               "Let the commands write to the terminal instead of showing "
               "the output of failed tests only");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : ostrivel::runner::kCannotRun;
  }
  if (options.libraryPath.empty()) {
    options.libraryPath = ostrivel::runner::DefaultLibraryPath();
  } else if (options.libraryPath.find('/') == std::string::npos &&
             std::filesystem::exists(options.libraryPath)) {
    // dlopen looks a bare name up in the search path, not here.
    options.libraryPath = "./" + options.libraryPath;
  }
  if (!resultPath.empty()) options.resultPath = resultPath;

  return ostrivel::runner::RunTests(options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "ostrivel-run: " << ostrivel::tools::Printable(error.what())
              << "\n";
  } catch (...) {
    std::cerr << "ostrivel-run: unexpected failure\n";
  }
  return ostrivel::runner::kCannotRun;
}
