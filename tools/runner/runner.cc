#include "tools/runner/runner.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "formats/config_format.h"
#include "formats/defaults.h"
#include "formats/result_format.h"
#include "ostrivel/harness_library.h"
#include "tools/methods/instrumentation_check.h"
#include "tools/printable/printable.h"
#include "tools/process/child_process.h"
#include "tools/runner/gtest_tests.h"
#include "tools/runner/private_run.h"
#include "tools/runner/probe_warnings.h"
#include "tools/runner/result_table.h"
#include "tools/runner/slot_harnesses.h"
#include "tools/runner/slot_plan.h"
#include "tools/runner/test_execution.h"
#include "tools/runner/test_list.h"
#include "tools/slots/slots.h"

namespace ostrivel::runner {

namespace {

using formats::ReadConfigValue;
using tools::Printable;

constexpr const char* kLibraryName = "libostrivel.so";

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

// The tests of the GoogleTest program, and where the run counts: the
// configuration's service when it answers, else a private run started
// into "*privateRun". Returns kSuccess or kCannotRun after a message.
int PrepareGtestRun(const RunOptions& options, std::ostream& out,
                    std::ostream& err, TestList* list, std::string* configPath,
                    std::unique_ptr<PrivateRun>* privateRun,
                    std::string* channel) {
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
  privateOptions.slots = std::max(1, options.jobs);
  *channel = privateOptions.channel;
  *privateRun = std::make_unique<PrivateRun>();
  std::string error;
  if (!(*privateRun)->Start(privateOptions, out, &error)) {
    err << "ostrivel-run: " << Printable(error) << "\n";
    return kCannotRun;
  }
  *configPath = (*privateRun)->configPath();
  return kSuccess;
}

// The service's ports file: --ports-file, else OSTRIVEL_SLOTS; empty when
// neither is given.
std::string GivenPortsFile(const RunOptions& options) {
  const char* fromEnvironment = std::getenv("OSTRIVEL_SLOTS");
  if (options.portsFile.empty() && fromEnvironment != nullptr) {
    return fromEnvironment;
  }
  return options.portsFile;
}

// The slots of the run's service, for --jobs: a private run's own, else
// those of the ports file (--ports-file, else OSTRIVEL_SLOTS).
bool FindSlots(const RunOptions& options, const PrivateRun* privateRun,
               std::vector<slots::Slot>* found, std::string* error) {
  if (privateRun != nullptr) {
    *found = privateRun->slots();
    return true;
  }
  std::string portsFile = GivenPortsFile(options);
  if (portsFile.empty()) {
    *error = fmt::format(
        "--jobs {} needs a service with slots: start ostrivel-service with "
        "--slots {} --ports-file FILE and give that file with --ports-file "
        "(or OSTRIVEL_SLOTS)",
        options.jobs, options.jobs);
    return false;
  }
  if (!slots::ReadPortsFile(portsFile, found, error)) return false;
  for (const slots::Slot& slot : *found) {
    if (static_cast<int>(slot.index) >= options.jobs) break;
    if (!ServiceAnswers(slot.host, slot.port)) {
      *error =
          fmt::format("slot {} of {} ({}:{}) does not answer", slot.index,
                      Printable(portsFile), Printable(slot.host), slot.port);
      return false;
    }
  }
  return true;
}

// The private folder of the slots' files, removed with this object.
class SlotFolder {
 public:
  ~SlotFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  bool Create(std::string* error) {
    std::error_code fsError;
    std::filesystem::path base = std::filesystem::temp_directory_path(fsError);
    if (fsError) base = "/tmp";
    std::string pattern = (base / "ostrivel-run.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot create a folder in " + base.string();
      return false;
    }
    path_ = pattern;
    return true;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Appends "text" to the result file at "path", after the header when the
// file does not exist yet, as the library would. False when it cannot.
bool AppendRows(const std::string& path, const std::string& text) {
  std::error_code fsError;
  bool exists = std::filesystem::exists(path, fsError);
  std::string bytes =
      exists ? std::string() : std::string(formats::kResultHeader) + "\r\n";
  bytes += text;
  std::ofstream file(path, std::ios::binary | std::ios::app);
  file << bytes;
  return static_cast<bool>(file.flush());
}

}  // namespace

int RunTests(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const bool gtest = !options.gtestProgram.empty();
  TestList list;
  std::string configPath = options.configPath;
  std::unique_ptr<PrivateRun> privateRun;
  std::vector<std::pair<std::string, std::string>> environment;
  std::string channel;

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
    int prepared = PrepareGtestRun(options, out, err, &list, &configPath,
                                   &privateRun, &channel);
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
  if (channel.empty()) {
    const char* inherited = std::getenv("OSTRIVEL_CHANNEL");
    channel =
        inherited != nullptr && *inherited != '\0' ? inherited : "default";
  }

  std::string resultPath = options.resultPath.value_or(
      ReadConfigValue(configPath, "res_location")
          .value_or(formats::DefaultPath(formats::kResultFileName)));
  std::string baseLocation = ReadConfigValue(configPath, "base_location")
                                 .value_or(std::string(formats::kDefaultBase));
  // Rows accumulate over runs; the table shows those written from here on.
  std::uint64_t resultOffset = FileSize(resultPath);

  ExecutionOptions execution;
  execution.command.environment = environment;
  execution.command.timeoutMs = options.timeoutSeconds * 1000;
  execution.showOutput = options.showOutput;
  execution.gtest = gtest;

  const std::size_t count = list.tests.size();
  std::vector<SlotHarness> harnesses;
  SlotFolder slotFolder;
  // A service with slots counts on none but them, so a run on one goes
  // through its slots however many tests run at a time.
  if ((options.jobs > 1 && count > 1) ||
      (privateRun == nullptr && !GivenPortsFile(options).empty())) {
    std::vector<slots::Slot> found;
    SlotPlanInput plan;
    bool planned = FindSlots(options, privateRun.get(), &found, &error) &&
                   slotFolder.Create(&error);
    if (planned) {
      std::size_t used = std::min<std::size_t>(
          {found.size(), count, static_cast<std::size_t>(options.jobs)});
      if (found.size() < static_cast<std::size_t>(options.jobs) &&
          found.size() < count) {
        out << "The service has " << found.size() << " slot"
            << (found.size() == 1 ? "" : "s") << ": running " << used
            << " at a time.\n";
      }
      found.resize(used);
      plan.slots = std::move(found);
      plan.configPath = configPath;
      plan.channel = channel;
      plan.environment = environment;
      plan.options = execution;
      plan.folder = slotFolder.path();
      planned = PlanSlots(plan, &harnesses, &error);
    }
    if (!planned) {
      err << "ostrivel-run: " << Printable(error) << "\n";
      return kCannotRun;
    }
  }

  ProbeWarnings probeWarnings;
  if (harnesses.empty() && !probeWarnings.Create(&error)) {
    err << "ostrivel-run: the probe's warnings will not be shown: "
        << Printable(error) << "\n";
  }

  // A private run's ostrivel-methods has checked the program already, and
  // its lines are shown above.
  if (privateRun == nullptr) WarnAboutUncountedPrograms(list.tests, err);

  std::vector<TestOutcome> outcomes(count);
  auto prefixOf = [&](std::size_t index) {
    return fmt::format("[{}/{}] {} ...", index + 1, count,
                       Printable(list.tests[index].name));
  };
  auto record = [&](std::size_t index, const TestExecution& done) {
    TestOutcome& outcome = outcomes[index];
    outcome.name = list.tests[index].name;
    outcome.passed = done.passed;
    outcome.skipped = done.skipped;
    outcome.serviceReached = done.serviceReached;
    outcome.probeWarnings = done.probeWarnings;
  };

  if (harnesses.empty()) {
    library->Init(configPath.c_str());
    library->Open();
    for (std::size_t index = 0; index < count; ++index) {
      if (!options.showOutput) out << prefixOf(index) << std::flush;
      TestExecution done =
          ExecuteTest(*library, list.tests[index], execution, probeWarnings);
      if (options.showOutput) out << prefixOf(index);
      out << DescribeExecution(done) << std::flush;
      record(index, done);
    }
    library->Close();
  } else {
    std::string log =
        ReadConfigValue(configPath, "log_location")
            .value_or(formats::DefaultPath(formats::kLogFileName));
    if (harnesses.size() == 1) {
      out << "Running " << count << " tests on slot 0 of the service; its log: "
          << Printable(slots::SlotLogPath(log, 0)) << "\n";
    } else {
      out << "Running " << count << " tests on " << harnesses.size()
          << " slots of the service; their logs: "
          << Printable(slots::SlotLogPath(log, 0)) << " to "
          << Printable(slots::SlotLogPath(
                 log, static_cast<int>(harnesses.size()) - 1))
          << "\n";
    }
    out << std::flush;
    // The rows go into the result file in the order of the list, each
    // test's as soon as those before it have ended.
    std::string resultFile =
        ReadConfigValue(configPath, "res_location")
            .value_or(formats::DefaultPath(formats::kResultFileName));
    std::vector<std::optional<std::string>> rows(count);
    std::size_t written = 0;
    bool toldUnwritable = false;
    RunOnSlots(*library, list.tests, harnesses,
               [&](std::size_t index, TestExecution done) {
                 out << prefixOf(index) << DescribeExecution(done)
                     << std::flush;
                 record(index, done);
                 rows[index] = std::move(done.rows);
                 std::string ready;
                 while (written < count && rows[written]) {
                   ready += *rows[written];
                   rows[written++].reset();
                 }
                 if (!ready.empty() && !AppendRows(resultFile, ready) &&
                     !toldUnwritable) {
                   toldUnwritable = true;
                   err << "ostrivel-run: cannot write the result file "
                       << Printable(resultFile) << "\n";
                 }
               });
  }
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
