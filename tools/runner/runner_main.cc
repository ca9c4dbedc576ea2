// ostrivel-run: a test harness for command-line tests with per-test
// coverage. See runner.h and test_list.h.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/printable/printable.h"
#include "tools/runner/runner.h"

namespace {

int Main(int argc, char** argv) {
  ostrivel::runner::RunOptions options;
  std::string resultPath;
  std::vector<std::string> includes;
  std::vector<std::string> excludes;

  CLI::App app{
      "Runs the tests of a test list, or of a GoogleTest program, under "
      "libostrivel.so: per test SetTestName, StartNewTestCase, the command, "
      "GetCollectedInformation; then prints a table per test and "
      "application from the result file.\n"
      "Test list: one test per line, \"name<TAB>command\" (run with "
      "/bin/sh -c); blank lines and lines starting with # are skipped.\n"
      "--gtest PROGRAM: the tests that PROGRAM --gtest_list_tests lists, "
      "each run alone in its own process (PROGRAM "
      "--gtest_filter=Suite.Name); rows are named Suite.Name, with \"/\", "
      "\"\\\" and \";\" replaced by \"_\". Without --config, or when its "
      "service does not answer, the run is private: in --output-dir it "
      "writes the method list (ostrivel-methods), ostrivel.conf, the "
      "result, trace and log files, and starts its own ostrivel-service "
      "for the run; the tests get the variables the probe (or the clang "
      "route) needs. With a --config whose service answers, the program's "
      "environment is yours to set.\n"
      "Exit code: 0 all passed; 1 a test failed (or, with "
      "--require-coverage, a test got no row or every row shows 0 %); 2 "
      "the collection service could not be reached; 3 both; 4 nothing "
      "could be run.",
      "ostrivel-run"};
  app.add_option("tests", options.testListPath, "The test list")
      ->check(CLI::ExistingFile);
  app.add_option("--gtest", options.gtestProgram,
                 "A GoogleTest program to run test by test instead of a "
                 "test list");
  app.add_option("--gtest_filter", options.gtestFilter,
                 "With --gtest: GoogleTest's filter of the tests to run");
  app.add_option("-c,--config", options.configPath,
                 "The library's configuration file, handed to Init "
                 "(required for a test list)")
      ->check(CLI::ExistingFile);
  app.add_option("-o,--output-dir", options.outputDirectory,
                 "With --gtest, a private run's directory (default: "
                 "ostrivel-out); the method lists in its methods/ are removed "
                 "first")
      ->capture_default_str()
      ->check([](const std::string& value) {
        return value.empty() ? std::string("an empty directory name")
                             : std::string();
      });
  app.add_option("-a,--application", options.application,
                 "With --gtest, the application name of the program's "
                 "method list (default: the program's file name)");
  app.add_option("--include", includes,
                 "With --gtest, passed on to ostrivel-methods: list only "
                 "functions matching this extended regular expression");
  app.add_option("--exclude", excludes,
                 "With --gtest, passed on to ostrivel-methods");
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
  app.add_option("-j,--jobs", options.jobs,
                 "Tests run at the same time, each on a slot of the service "
                 "(ostrivel-service --slots N); 0: the number of cores. A "
                 "private run starts its service with that many slots")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--ports-file", options.portsFile,
                 "With --jobs and a service of your own: the file its "
                 "--ports-file wrote, naming its slots (default: "
                 "OSTRIVEL_SLOTS)");
  app.add_flag("--show-output", options.showOutput,
               "Let the commands write to the terminal instead of showing "
               "the output of failed tests only");
  app.add_flag("--require-coverage", options.requireCoverage,
               "Fail (exit code 1) when a test got no row or every row "
               "shows 0 % (also OSTRIVEL_REQUIRE_COVERAGE=1)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : ostrivel::runner::kCannotRun;
  }
  if (options.gtestProgram.empty() == options.testListPath.empty()) {
    std::cerr << "ostrivel-run: give either a test list or --gtest PROGRAM\n"
              << app.help("", CLI::AppFormatMode::Normal);
    return ostrivel::runner::kCannotRun;
  }
  if (options.gtestProgram.empty() && options.configPath.empty()) {
    std::cerr << "ostrivel-run: a test list needs --config FILE\n";
    return ostrivel::runner::kCannotRun;
  }
  for (const std::string& include : includes) {
    options.methodsArguments.insert(options.methodsArguments.end(),
                                    {"--include", include});
  }
  for (const std::string& exclude : excludes) {
    options.methodsArguments.insert(options.methodsArguments.end(),
                                    {"--exclude", exclude});
  }
  const char* required = std::getenv("OSTRIVEL_REQUIRE_COVERAGE");
  if (required != nullptr && std::string(required) == "1") {
    options.requireCoverage = true;
  }
  if (options.libraryPath.empty()) {
    options.libraryPath = ostrivel::runner::DefaultLibraryPath();
  } else if (options.libraryPath.find('/') == std::string::npos &&
             std::filesystem::exists(options.libraryPath)) {
    // dlopen looks a bare name up in the search path, not here.
    options.libraryPath = "./" + options.libraryPath;
  }
  if (!resultPath.empty()) options.resultPath = resultPath;
  if (options.jobs == 0) {
    options.jobs =
        static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  }

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
