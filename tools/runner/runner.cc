#include "tools/runner/runner.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "formats/config_format.h"
#include "formats/defaults.h"
#include "ostrivel/harness_library.h"
#include "tools/methods/instrumentation_check.h"
#include "tools/printable/printable.h"
#include "tools/process/child_process.h"
#include "tools/runner/gtest_tests.h"
#include "tools/runner/output_tail.h"
#include "tools/runner/private_run.h"
#include "tools/runner/probe_warnings.h"
#include "tools/runner/result_table.h"
#include "tools/runner/test_list.h"

namespace ostrivel::runner {

namespace {

using formats::ReadConfigValue;
using process::CommandOptions;
using process::CommandResult;
using process::RunCommand;
using tools::Printable;

constexpr const char* kLibraryName = "libostrivel.so";
// A failed test shows at most this many of its last output lines, each cut
// after this many bytes.
constexpr std::size_t kShownOutputLines = 40;
constexpr std::size_t kShownLineBytes = 4096;

void ShowOutput(const OutputTail& tail, std::ostream& out) {
  if (tail.linesLeftOut() > 0) {
    out << "    | ... (" << tail.linesLeftOut() << " lines left out)\n";
  }
  for (const OutputTail::Line& line : tail.lines()) {
    out << "    | " << Printable(line.text);
    if (line.cut > 0) out << " ... (" << line.cut << " more bytes)";
    out << "\n";
  }
}

// The program a test command runs, when it names one by path: the first
// word after any "NAME=value" assignments, quotes around it dropped. A bare
// name (looked up in PATH) and the system's own programs are left alone:
// they are interpreters and tools such as sh, env or python3, not the
// program under test, and were never built to be counted.
std::optional<std::string> ProgramOf(const std::string& command) {
  std::istringstream words(command);
  std::string word;
  while (words >> word) {
    std::size_t equals = word.find('=');
    if (equals == std::string::npos || word.find('/') < equals) break;
  }
  if (word.size() >= 2 && (word.front() == '\'' || word.front() == '"') &&
      word.back() == word.front()) {
    word = word.substr(1, word.size() - 2);
  }
  if (word.find('/') == std::string::npos) return std::nullopt;
  for (const char* system : {"/usr/", "/bin/", "/sbin/", "/lib"}) {
    if (word.rfind(system, 0) == 0) return std::nullopt;
  }
  return word;
}

// Warns once per program of "tests" that cannot be counted as built.
void WarnAboutUncountedPrograms(const std::vector<TestCase>& tests,
                                std::ostream& err) {
  std::set<std::string> checked;
  for (const TestCase& test : tests) {
    std::optional<std::string> program = ProgramOf(test.command);
    if (!program || !checked.insert(*program).second) continue;
    if (auto problem = methods::InstrumentationProblem(*program)) {
      err << "ostrivel-run: warning: " << Printable(*problem) << "\n";
    }
  }
}

}  // namespace

std::string DefaultLibraryPath() {
  const char* fromEnvironment = std::getenv("OSTRIVEL_LIBRARY");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
    return fromEnvironment;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    fs::path folder = program.parent_path();
    for (const fs::path& candidate :
         {folder / kLibraryName, folder / ".." / ".." / kLibraryName,
          folder / ".." / "lib" / kLibraryName}) {
      if (fs::is_regular_file(candidate, error)) {
        return candidate.lexically_normal().string();
      }
    }
  }
  return kLibraryName;
}

namespace {

// A passing GoogleTest program that skipped its test says so in its
// summary.
bool SkippedItself(const OutputTail& tail) {
  for (const OutputTail::Line& line : tail.lines()) {
    if (line.text.rfind("[  SKIPPED ] 1 test", 0) == 0) return true;
  }
  return false;
}

// The tests of the GoogleTest program, and where the run counts: the
// configuration's service when it answers, else a private run started
// into "*privateRun". Returns kSuccess or kCannotRun after a message.
int PrepareGtestRun(const RunOptions& options, std::ostream& out,
                    std::ostream& err, TestList* list, std::string* configPath,
                    std::unique_ptr<PrivateRun>* privateRun) {
  namespace fs = std::filesystem;
  std::error_code fsError;
  if (!fs::is_regular_file(options.gtestProgram, fsError)) {
    err << "ostrivel-run: no such program: " << Printable(options.gtestProgram)
        << "\n";
    return kCannotRun;
  }
  std::string program =
      fs::absolute(options.gtestProgram, fsError).lexically_normal().string();
  GtestList listed =
      ListGtestTests(program, options.gtestFilter, options.timeoutSeconds);
  if (!listed.error.empty()) {
    err << "ostrivel-run: " << Printable(listed.error) << "\n";
    return kCannotRun;
  }
  *list = std::move(listed.list);
  if (listed.disabled > 0) {
    out << "Left out " << listed.disabled << " disabled test"
        << (listed.disabled == 1 ? "" : "s") << ".\n";
  }

  if (!options.configPath.empty()) {
    std::string host =
        ReadConfigValue(options.configPath, "host_name").value_or("localhost");
    int port = std::atoi(
        ReadConfigValue(options.configPath, "port").value_or("8182").c_str());
    if (ServiceAnswers(host, port)) {
      *configPath = options.configPath;
      return kSuccess;
    }
    out << "The service of " << Printable(options.configPath) << " ("
        << Printable(host) << ":" << port
        << ") does not answer: starting a private one.\n";
  }

  PrivateRunOptions privateOptions;
  privateOptions.program = program;
  privateOptions.application = options.application.empty()
                                   ? fs::path(program).filename().string()
                                   : options.application;
  privateOptions.outputDirectory = options.outputDirectory;
  privateOptions.methodsArguments = options.methodsArguments;
  privateOptions.channel = PrivateChannel();
  *privateRun = std::make_unique<PrivateRun>();
  std::string error;
  if (!(*privateRun)->Start(privateOptions, out, &error)) {
    err << "ostrivel-run: " << Printable(error) << "\n";
    return kCannotRun;
  }
  *configPath = (*privateRun)->configPath();
  return kSuccess;
}

}  // namespace

int RunTests(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const bool gtest = !options.gtestProgram.empty();
  TestList list;
  std::string configPath = options.configPath;
  std::unique_ptr<PrivateRun> privateRun;
  std::vector<std::pair<std::string, std::string>> environment;

  std::string error;
  std::unique_ptr<HarnessLibrary> library;
  auto loadLibrary = [&] {
    library = HarnessLibrary::Load(options.libraryPath, &error);
    if (library == nullptr) {
      err << "ostrivel-run: cannot load the library: " << Printable(error)
          << "\n";
    }
    return library != nullptr;
  };

  if (gtest) {
    // The library first: a run that cannot count starts no service.
    if (!loadLibrary()) return kCannotRun;
    int prepared =
        PrepareGtestRun(options, out, err, &list, &configPath, &privateRun);
    if (prepared != kSuccess) return prepared;
    if (privateRun != nullptr) environment = privateRun->environment();
    // The runner is the harness: a coverage listener in the program must
    // not drive the library a second time.
    environment.emplace_back("OSTRIVEL_CONFIG", "");
  } else {
    list = ReadTestList(options.testListPath);
    for (const std::string& message : list.errors) {
      err << "ostrivel-run: " << Printable(message) << "\n";
    }
    if (!list.errors.empty()) return kCannotRun;
    if (list.tests.empty()) {
      err << "ostrivel-run: " << Printable(options.testListPath)
          << ": no tests\n";
      return kCannotRun;
    }
    if (!loadLibrary()) return kCannotRun;
  }

  std::string resultPath = options.resultPath.value_or(
      ReadConfigValue(configPath, "res_location")
          .value_or(formats::DefaultPath(formats::kResultFileName)));
  std::string baseLocation = ReadConfigValue(configPath, "base_location")
                                 .value_or(std::string(formats::kDefaultBase));
  // Rows accumulate over runs; the table shows those written from here on.
  std::uint64_t resultOffset = FileSize(resultPath);

  ProbeWarnings probeWarnings;
  if (!probeWarnings.Create(&error)) {
    err << "ostrivel-run: the probe's warnings will not be shown: "
        << Printable(error) << "\n";
  }

  // A private run's ostrivel-methods has checked the program already, and
  // its lines are shown above.
  if (privateRun == nullptr) WarnAboutUncountedPrograms(list.tests, err);

  library->Init(configPath.c_str());
  library->Open();

  std::vector<TestOutcome> outcomes;
  const std::size_t count = list.tests.size();
  for (std::size_t index = 0; index < count; ++index) {
    const TestCase& test = list.tests[index];
    std::string prefix =
        fmt::format("[{}/{}] {} ...", index + 1, count, Printable(test.name));
    if (!options.showOutput) out << prefix << std::flush;

    library->SetTestName(test.name.c_str());
    TestOutcome outcome;
    outcome.name = test.name;
    outcome.serviceReached = library->StartNewTestCase();

    CommandOptions commandOptions;
    commandOptions.environment = environment;
    commandOptions.environment.emplace_back("OSTRIVEL_TEST_NAME", test.name);
    if (!probeWarnings.path().empty()) {
      commandOptions.environment.emplace_back("OSTRIVEL_PROBE_WARNINGS",
                                              probeWarnings.path());
    }
    commandOptions.timeoutMs = options.timeoutSeconds * 1000;
    commandOptions.captureOutput = false;
    OutputTail tail(kShownOutputLines, kShownLineBytes);
    auto start = std::chrono::steady_clock::now();
    CommandResult result =
        options.showOutput
            ? RunCommand(test.command, commandOptions)
            : RunCommandKeepingTail(test.command, commandOptions, &tail);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);

    library->GetCollectedInformation();
    outcome.passed = result.Passed();
    outcome.skipped = gtest && outcome.passed && SkippedItself(tail);
    outcome.probeWarnings = probeWarnings.Take();

    if (options.showOutput) out << prefix;
    out << fmt::format(
        " {} ({} ms)",
        outcome.passed ? (outcome.skipped ? "SKIP" : "PASS") : "FAIL",
        elapsed.count());
    if (!outcome.serviceReached) out << " [no coverage: service unreachable]";
    out << "\n";
    for (const std::string& warning : outcome.probeWarnings) {
      out << "    " << warning << "\n";
    }
    if (!outcome.passed) {
      out << "    " << Printable(result.Describe()) << "\n";
      if (!options.showOutput) ShowOutput(tail, out);
    }
    out << std::flush;
    outcomes.push_back(outcome);
  }

  library->Close();
  if (privateRun != nullptr) privateRun->Stop();

  ResultRows rows = ParseResultRows(ReadFileFrom(resultPath, resultOffset));
  UseExactTraceLengths(baseLocation, &rows.rows);
  out << "\n" << FormatSummaryTable(outcomes, rows.rows) << "\n";

  int passed = 0;
  int skipped = 0;
  int unreachable = 0;
  for (const TestOutcome& outcome : outcomes) {
    passed += outcome.passed ? 1 : 0;
    skipped += outcome.skipped ? 1 : 0;
    unreachable += outcome.serviceReached ? 0 : 1;
  }
  out << fmt::format("{} tests: {} passed, {} failed", count, passed - skipped,
                     count - static_cast<std::size_t>(passed));
  out << (skipped > 0 ? fmt::format(", {} skipped.\n", skipped) : ".\n");
  if (unreachable > 0) {
    out << fmt::format(
        "The collection service could not be reached for {} of them.\n",
        unreachable);
  }
  if (rows.unreadableLines > 0) {
    out << fmt::format("{} new lines of the result file are not rows.\n",
                       rows.unreadableLines);
  }
  out << "Result file: " << Printable(resultPath)
      << (std::filesystem::exists(resultPath) ? "" : " (missing)") << "\n";

  int exitCode = kSuccess;
  if (passed != static_cast<int>(count)) exitCode |= kTestFailed;
  if (options.requireCoverage) {
    std::string shortfall = CoverageShortfall(outcomes, rows.rows);
    if (!shortfall.empty()) {
      out << std::flush;
      err << "ostrivel-run: coverage required, but " << shortfall << "\n";
      exitCode |= kTestFailed;
    }
  }
  if (unreachable > 0) exitCode |= kServiceUnreachable;
  return exitCode;
}

}  // namespace ostrivel::runner
