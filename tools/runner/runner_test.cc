#include "tools/runner/runner.h"

#include <sys/resource.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/loopback_service.h"
#include "testing/temp_dir.h"
#include "tools/process/child_process.h"
#include "tools/runner/result_table.h"
#include "tools/runner/test_list.h"

namespace ostrivel::runner {
namespace {

using process::CommandResult;
using process::RunCommand;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

// ---- the test list ----

TEST(TestListTest, ReadsNameAndCommandSkippingCommentsAndBlankLines) {
  TestList list = ParseTestList(
      "# the sample's tests\r\n"
      "\n"
      "   # indented comment\n"
      "Help\tsample-app help\r\n"
      "Two Words \t\t echo 'a\tb' \n"
      "Last\ttrue",
      "tests.txt");
  EXPECT_TRUE(list.errors.empty());
  ASSERT_EQ(list.tests.size(), 3u);
  EXPECT_EQ(list.tests[0].name, "Help");
  EXPECT_EQ(list.tests[0].command, "sample-app help");
  EXPECT_EQ(list.tests[0].line, 4);
  EXPECT_EQ(list.tests[1].name, "Two Words");
  EXPECT_EQ(list.tests[1].command, "echo 'a\tb'");
  EXPECT_EQ(list.tests[2].command, "true");
}

TEST(TestListTest, RejectsLinesThatWouldBreakTheResultFile) {
  TestList list = ParseTestList(
      "NoTab true\n"
      "\ttrue\n"
      "a;b\ttrue\n"
      "dir/name\ttrue\n"
      "NoCommand\t  \n"
      "Twice\ttrue\n"
      "Twice\tfalse\n",
      "tests.txt");
  EXPECT_THAT(
      list.errors,
      ElementsAre(
          "tests.txt:1: expected a test name, a tab and a command",
          "tests.txt:2: the test name is empty",
          "tests.txt:3: the test name \"a;b\" contains \";\", \"/\" or \"\\\"",
          "tests.txt:4: the test name \"dir/name\" contains \";\", \"/\" or "
          "\"\\\"",
          "tests.txt:5: the test \"NoCommand\" has no command",
          "tests.txt:7: the test name \"Twice\" is used twice"));
}

TEST(TestListTest, MissingFileIsOneError) {
  TempDir dir;
  TestList list = ReadTestList(dir.File("none.txt"));
  EXPECT_THAT(list.errors,
              ElementsAre(dir.File("none.txt") + ": cannot be read"));
}

// ---- the result file and the table ----

TEST(ResultTableTest, ParsesRowsSkippingHeadersAndRefusingNamesWithSemicolons) {
  std::string text = std::string(formats::kResultHeader) +
                     "\r\n"
                     "Login;Shop;12;33.3333;5;0 2;1\r\n"
                     "a;b;Shop;App;1;50;7;1;0\r\n"
                     "broken;row\r\n"
                     "Other;Sho;p;0;0;0;;0 1\r\n";
  ResultRows parsed = ParseResultRows(text);
  // Rows are not quoted: a name holding ";" cannot be told from the next
  // field, so such a row is as unreadable as a short one.
  EXPECT_EQ(parsed.unreadableLines, 3);
  ASSERT_EQ(parsed.rows.size(), 1u);
  EXPECT_EQ(parsed.rows[0].testName, "Login");
  EXPECT_EQ(parsed.rows[0].application, "Shop");
  EXPECT_EQ(parsed.rows[0].traceLength, "12");
  EXPECT_EQ(parsed.rows[0].coverage, "33.3333");
  EXPECT_EQ(parsed.rows[0].runtime, "5");
  EXPECT_EQ(parsed.rows[0].covered, "0 2");
  EXPECT_EQ(parsed.rows[0].notCovered, "1");
}

TEST(ResultTableTest, TableHasOneLinePerTestAndApplication) {
  // A test whose programs' probe turned counting off is marked; names
  // from the list and the result file cannot break the table's lines.
  std::vector<TestOutcome> outcomes = {
      {"Checkout", true, true, {"ostrivel-probe: automatic counting is off"}},
      {"Help", false, true, {}},
      {"Off\rline", true, false, {}}};
  std::vector<ResultRow> rows = {
      {"Checkout", "Shop", "1.23457e+06", "87.5", "12", "", ""},
      {"Checkout", "Back\nend", "0", "0", "12", "", ""},
      {"Unlisted", "Shop", "1", "1", "1", "", ""}};
  EXPECT_EQ(FormatSummaryTable(outcomes, rows),
            "Test       Status  Application            Trace length  "
            "Coverage %  Runtime (ms)\n"
            "---------  ------  ---------------------  ------------  "
            "----------  ------------\n"
            "Checkout   PASS*   Shop                    1.23457e+06  "
            "      87.5            12\n"
            "Checkout   PASS*   Back\\nend                         0  "
            "         0            12\n"
            "Help       FAIL    (no result row)                   -  "
            "         -             -\n"
            "Off\\rline  PASS    (service unreachable)             -  "
            "         -             -\n"
            "* The probe turned counting off in this test's programs (its "
            "lines are under the test above): the coverage shown is not the "
            "test's.\n");
}

TEST(ResultTableTest, ReadsFromAnOffsetAndWholeWhenTheFileShrank) {
  TempDir dir;
  std::string path = dir.File("result.csv");
  EXPECT_EQ(FileSize(path), 0u);
  EXPECT_EQ(ReadFileFrom(path, 0), "");
  WriteFile(path, "old\nnew\n");
  EXPECT_EQ(FileSize(path), 8u);
  EXPECT_EQ(ReadFileFrom(path, 4), "new\n");
  EXPECT_EQ(ReadFileFrom(path, 100), "old\nnew\n");
}

// ---- the whole run, against a stand-in for the library ----

class RunnerTest : public ::testing::Test {
 protected:
  // A configuration for the stand-in library: it records its calls and
  // writes a row per application and test into result.csv.
  void Configure(const std::string& extra = "") {
    WriteFile(dir_.File("ostrivel.conf"), "calls: " + dir_.File("calls.txt") +
                                              "\n"
                                              "res_location: " +
                                              dir_.File("result.csv") +
                                              "\n"
                                              "applications: Alpha Beta\n" +
                                              extra);
  }

  int Run(const std::string& testList) {
    WriteFile(dir_.File("tests.txt"), testList);
    RunOptions options;
    options.libraryPath = OSTRIVEL_FAKE_LIBRARY_PATH;
    options.configPath = dir_.File("ostrivel.conf");
    options.testListPath = dir_.File("tests.txt");
    options.timeoutSeconds = 60;
    options.requireCoverage = requireCoverage_;
    std::ostringstream out;
    std::ostringstream err;
    int code = RunTests(options, out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }

  std::vector<std::string> Calls() const {
    return Lines(ReadFile(dir_.File("calls.txt")));
  }

  TempDir dir_;
  bool requireCoverage_ = false;
  std::string out_;
  std::string err_;
};

TEST_F(RunnerTest, CallsTheLibraryAroundEveryCommandAndReportsFailures) {
  Configure();
  int code =
      Run("Good\ttest \"$OSTRIVEL_TEST_NAME\" = Good\n"
          "Bad\techo something went wrong; exit 1\n");
  EXPECT_EQ(code, kTestFailed);
  EXPECT_EQ(err_, "");
  EXPECT_THAT(Calls(),
              ElementsAre("Init(" + dir_.File("ostrivel.conf") + ")", "Open()",
                          "SetTestName(Good)", "StartNewTestCase()",
                          "GetCollectedInformation()", "SetTestName(Bad)",
                          "StartNewTestCase()", "GetCollectedInformation()",
                          "Close()"));

  std::vector<std::string> lines = Lines(out_);
  ASSERT_EQ(lines.size(), 14u) << out_;
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\[1/2\] Good \.\.\. PASS \(\d+ ms\))")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(\[2/2\] Bad \.\.\. FAIL \(\d+ ms\))")))
      << lines[1];
  EXPECT_EQ(lines[2], "    exit code 1");
  EXPECT_EQ(lines[3], "    | something went wrong");
  std::string rest;
  for (std::size_t i = 4; i < lines.size(); ++i) rest += lines[i] + "\n";
  EXPECT_EQ(
      rest,
      "\n"
      "Test  Status  Application  Trace length  Coverage %  Runtime (ms)\n"
      "----  ------  -----------  ------------  ----------  ------------\n"
      "Good  PASS    Alpha                  10          25             1\n"
      "Good  PASS    Beta                   10          25             1\n"
      "Bad   FAIL    Alpha                  20          50             2\n"
      "Bad   FAIL    Beta                   20          50             2\n"
      "\n"
      "2 tests: 1 passed, 1 failed.\n"
      "Result file: " +
          dir_.File("result.csv") + "\n");
}

TEST_F(RunnerTest, TableShowsOnlyTheRowsOfThisRun) {
  Configure();
  WriteFile(dir_.File("result.csv"), std::string(formats::kResultHeader) +
                                         "\r\nOnly;Alpha;1;1;1;0;\r\n");
  EXPECT_EQ(Run("Only\ttrue\n"), kSuccess);
  EXPECT_THAT(out_, HasSubstr("Only  PASS    Alpha                  10"));
  EXPECT_THAT(out_, ::testing::Not(HasSubstr("Alpha                   1")));
}

TEST_F(RunnerTest, UnreachableServiceIsNonZeroEvenWhenTestsPass) {
  Configure("unreachable: yes\n");
  EXPECT_EQ(Run("One\ttrue\nTwo\tfalse\n"), kServiceUnreachable | kTestFailed);
  std::vector<std::string> lines = Lines(out_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(\[1/2\] One \.\.\. PASS \(\d+ ms\) \[no coverage: service unreachable\])")))
      << lines[0];
  EXPECT_THAT(out_, HasSubstr("One   PASS    (service unreachable)"));
  EXPECT_THAT(out_, HasSubstr("could not be reached for 2 of them."));
  // The harness's order is kept: the library is still asked after each
  // test.
  EXPECT_EQ(Calls().size(), 9u);
}

TEST_F(RunnerTest, RequiredCoverageNamesTheTestsWithoutARow) {
  // No application: the library writes no row for any test.
  WriteFile(dir_.File("ostrivel.conf"),
            "calls: " + dir_.File("calls.txt") +
                "\nres_location: " + dir_.File("result.csv") + "\n");
  EXPECT_EQ(Run("One\ttrue\nTwo\ttrue\n"), kSuccess);
  requireCoverage_ = true;
  EXPECT_EQ(Run("One\ttrue\nTwo\ttrue\n"), kTestFailed);
  EXPECT_EQ(err_,
            "ostrivel-run: coverage required, but 2 of 2 tests got no "
            "coverage row: One, Two\n");

  // With rows that show coverage, nothing is said.
  Configure();
  EXPECT_EQ(Run("One\ttrue\n"), kSuccess);
  EXPECT_EQ(err_, "");
}

TEST_F(RunnerTest, StaleMethodListIsShownAndMarkedForAPassingTest) {
  Configure();
  // A list made for another build of the program; the test hides the
  // program's standard error, and the runner still learns of the line.
  std::string list = dir_.File("sample.csv");
  WriteFile(list, "ProjectName;Sample\n0x1000;main;\n");
  WriteFile(list + ".build-id", "00112233\n");
  EXPECT_EQ(Run("Stale\tOSTRIVEL_METHOD_LIST='" + list +
                "' " OSTRIVEL_SAMPLE_PATH " Alpha=1 2>/dev/null\n"),
            kSuccess);
  std::vector<std::string> lines = Lines(out_);
  ASSERT_GE(lines.size(), 6u) << out_;
  EXPECT_TRUE(std::regex_match(
      lines[1],
      std::regex("    ostrivel-probe: automatic counting is off: the method "
                 "list \"" +
                 list +
                 "\" is stale: it was made for build ID 00112233, this "
                 "program has build ID [0-9a-f]{40} \\(run "
                 "ostrivel-methods again\\)")))
      << lines[1];
  EXPECT_THAT(out_, HasSubstr("\nStale  PASS*   Alpha "));
  EXPECT_THAT(out_, HasSubstr("\n* The probe turned counting off in this "
                              "test's programs"));
}

TEST_F(RunnerTest, OutputIsShownEscaped) {
  Configure();
  EXPECT_EQ(Run("Esc\x1b[2J\tprintf 'one\\rtwo\\033[2J\\n'; exit 2\n"),
            kTestFailed);
  EXPECT_THAT(out_, HasSubstr("] Esc\\x1B[2J ... FAIL"));
  EXPECT_THAT(out_, HasSubstr("\n    | one\\rtwo\\x1B[2J\n"));
  EXPECT_THAT(out_, HasSubstr("\nEsc\\x1B[2J  FAIL "));
}

// A test list whose commands run the given programs, and the warnings
// ostrivel-run gives before the tests run.
struct ProgramCheckCase {
  const char* name;
  std::string testList;
  std::string warnings;
};

void PrintTo(const ProgramCheckCase& check, std::ostream* out) {
  *out << check.name;
}

const std::string kUninstrumented = OSTRIVEL_UNINSTRUMENTED_PATH;
const std::string kNotCounted =
    "ostrivel-run: warning: \"" + kUninstrumented +
    "\" has no instrumented function (nothing calls "
    "__cyg_profile_func_enter), so every count stays 0: build with "
    "-finstrument-functions\n";

class ProgramCheckTest
    : public RunnerTest,
      public ::testing::WithParamInterface<ProgramCheckCase> {};

TEST_P(ProgramCheckTest, WarnsOncePerProgramThatCannotBeCounted) {
  Configure();
  EXPECT_EQ(Run(GetParam().testList), kSuccess) << out_;
  EXPECT_EQ(err_, GetParam().warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProgramCheckTest,
    ::testing::Values(
        ProgramCheckCase{"Instrumented",
                         std::string("One\t") + OSTRIVEL_SAMPLE_PATH + "\n",
                         ""},
        ProgramCheckCase{"UninstrumentedTwice",
                         "One\t" + kUninstrumented + " a\nTwo\t'" +
                             kUninstrumented + "' b\n",
                         kNotCounted},
        ProgramCheckCase{"AfterAssignments",
                         "One\tA=1 B=2 " + kUninstrumented + "\n", kNotCounted},
        // Interpreters and tools are no program under test.
        ProgramCheckCase{"SystemPrograms", "One\ttrue\nTwo\t/bin/true\n", ""},
        ProgramCheckCase{"NoProgram", "One\t./no-such-program || true\n", ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunnerTest, BadTestListRunsNothing) {
  Configure();
  EXPECT_EQ(Run("Fine\ttrue\nno tab here\n"), kCannotRun);
  EXPECT_EQ(err_, "ostrivel-run: " + dir_.File("tests.txt") +
                      ":2: expected a test name, a tab and a command\n");
  EXPECT_FALSE(testing::FileExists(dir_.File("calls.txt")));

  EXPECT_EQ(Run("# nothing\n"), kCannotRun);
  EXPECT_EQ(err_, "ostrivel-run: " + dir_.File("tests.txt") + ": no tests\n");
}

TEST_F(RunnerTest, MissingLibraryRunsNothing) {
  Configure();
  WriteFile(dir_.File("tests.txt"), "One\ttrue\n");
  RunOptions options;
  options.libraryPath = dir_.File("libnothing.so");
  options.configPath = dir_.File("ostrivel.conf");
  options.testListPath = dir_.File("tests.txt");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunTests(options, out, err), kCannotRun);
  EXPECT_THAT(err.str(), HasSubstr("ostrivel-run: cannot load the library: "));
  EXPECT_THAT(err.str(), HasSubstr("libnothing.so"));
}

// ---- the program with the real library ----

TEST(RunnerProgramTest, UnreachableServiceGivesExitCodeTwo) {
  TempDir dir;
  // A port that nothing listens on: the runner's own listening socket is
  // not needed, any closed loopback port refuses at once.
  WriteFile(dir.File("ostrivel.conf"),
            "host_name: 127.0.0.1\n"
            "port: 1\n"
            "log_location: " +
                dir.File("log.txt") +
                "\n"
                "res_location: " +
                dir.File("result.csv") +
                "\n"
                "base_location: " +
                dir.path() + "\nmethods_location: " + dir.path() + "\n");
  WriteFile(dir.File("tests.txt"), "Alone\ttrue\n");
  CommandResult result =
      RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --library " +
                     OSTRIVEL_LIBRARY_PATH + " --config " +
                     dir.File("ostrivel.conf") + " " + dir.File("tests.txt"),
                 {});
  EXPECT_EQ(result.exitCode, kServiceUnreachable) << result.output;
  EXPECT_THAT(result.output, HasSubstr("[no coverage: service unreachable]"));
  EXPECT_THAT(result.output,
              HasSubstr("Re-Connection: Error in re-connection! Maybe no "
                        "server running!"));
}

TEST(RunnerProgramTest, KeepsOnlyTheTailOfAHugeOutput) {
  TempDir dir;
  WriteFile(dir.File("ostrivel.conf"),
            "calls: " + dir.File("calls.txt") + "\nres_location: " +
                dir.File("result.csv") + "\napplications: Alpha\n");
  // 300 MB of 11-byte lines, then a line of 100 MB.
  WriteFile(dir.File("tests.txt"),
            "Lines\tyes 0123456789 | head -c 300000000; echo end; exit 3\n"
            "Wide\thead -c 100000000 /dev/zero | tr '\\0' x; echo; exit 4\n");
  CommandResult result =
      RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --library " +
                     OSTRIVEL_FAKE_LIBRARY_PATH + " --config " +
                     dir.File("ostrivel.conf") + " " + dir.File("tests.txt"),
                 {});
  EXPECT_EQ(result.exitCode, kTestFailed) << result.output.substr(0, 4000);

  // The runner's peak memory (and that of every other child this test has
  // waited for) stays far below the output's size. AddressSanitizer's
  // quarantine keeps freed memory resident, so its builds check only the
  // output.
#ifndef __SANITIZE_ADDRESS__
  rusage usage{};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KiB";
#endif

  std::vector<std::string> lines = Lines(result.output);
  // 27,272,727 whole lines, then "012" completed by "end".
  std::vector<std::string> expected = {"    exit code 3",
                                       "    | ... (27272688 lines left out)"};
  for (int i = 0; i < 39; ++i) expected.push_back("    | 0123456789");
  expected.push_back("    | 012end");
  std::size_t progress = expected.size() + 1;  // the next test's line
  expected.push_back("[2/2] Wide ... FAIL");
  expected.push_back("    exit code 4");
  expected.push_back("    | " + std::string(4096, 'x') +
                     " ... (99995904 more bytes)");
  ASSERT_GE(lines.size(), expected.size() + 1);
  lines[progress] = lines[progress].substr(0, lines[progress].find(" ("));
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1,
                                     lines.begin() + 1 + expected.size()),
            expected);
}

struct SlotFailure {
  const char* name;
  const char* portsFile;    // its text, or null: none given
  const char* profileFile;  // LLVM_PROFILE_FILE, or null: unset
  const char* message;      // on a line of its own; <dir> for the folder
};

class RunnerSlotFailureTest : public ::testing::TestWithParam<SlotFailure> {};

// --jobs on a service of one's own needs its slots; what cannot work is
// said before any test runs.
TEST_P(RunnerSlotFailureTest, SaysWhyAndRunsNothing) {
  const SlotFailure& c = GetParam();
  TempDir dir;
  WriteFile(dir.File("ostrivel.conf"),
            "res_location: " + dir.File("result.csv") +
                "\nmethods_location: " + dir.File("methods/") + "\n");
  std::filesystem::create_directory(dir.File("methods"));
  WriteFile(dir.File("methods/app.csv"), "ProjectName;App\n0x10;f;\n");
  WriteFile(dir.File("tests.txt"),
            "First\ttouch " + dir.File("ran") + "\nSecond\ttrue\n");
  std::string command = std::string(OSTRIVEL_RUN_PATH) + " --library " +
                        OSTRIVEL_FAKE_LIBRARY_PATH + " --config " +
                        dir.File("ostrivel.conf") + " --jobs 2 ";
  testing::LoopbackService first;
  testing::LoopbackService second;
  if (c.portsFile != nullptr) {
    std::string ports = std::regex_replace(c.portsFile, std::regex("<port0>"),
                                           std::to_string(first.port()));
    WriteFile(dir.File("ports"),
              std::regex_replace(ports, std::regex("<port1>"),
                                 std::to_string(second.port())));
    command += "--ports-file " + dir.File("ports") + " ";
  }
  process::CommandOptions options;
  options.environment = {{"OSTRIVEL_SLOTS", ""}, {"OSTRIVEL_CHANNEL", "ch"}};
  if (c.profileFile != nullptr) {
    options.environment.emplace_back("LLVM_PROFILE_FILE", c.profileFile);
  }
  CommandResult result = RunCommand(command + dir.File("tests.txt"), options);
  EXPECT_EQ(result.exitCode, kCannotRun) << result.output;
  std::string expected =
      std::regex_replace(c.message, std::regex("<dir>/"), dir.File(""));
  EXPECT_THAT(Lines(result.output), ::testing::Contains(expected))
      << result.output;
  EXPECT_FALSE(std::filesystem::exists(dir.File("ran")));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RunnerSlotFailureTest,
    ::testing::Values(
        SlotFailure{"NoPortsFile", nullptr, nullptr,
                    "ostrivel-run: --jobs 2 needs a service with slots: start "
                    "ostrivel-service with --slots 2 --ports-file FILE and "
                    "give that file with --ports-file (or OSTRIVEL_SLOTS)"},
        SlotFailure{"EmptyPortsFile", "", nullptr,
                    "ostrivel-run: the ports file \"<dir>/ports\" names no "
                    "slot"},
        SlotFailure{"LineOutOfOrder", "1 127.0.0.1 40000\n", nullptr,
                    "ostrivel-run: the ports file \"<dir>/ports\", line 1, is "
                    "not \"0 <host> <port>\": \"1 127.0.0.1 40000\""},
        SlotFailure{"SlotNotAnswering", "0 127.0.0.1 1\n1 127.0.0.1 1\n",
                    nullptr,
                    "ostrivel-run: slot 0 of <dir>/ports (127.0.0.1:1) does "
                    "not answer"},
        SlotFailure{
            "ProfileFileOfNoApplication",
            "0 127.0.0.1 <port0>\n1 127.0.0.1 <port1>\n",
            "/dev/shm/elsewhere/%p%c.profraw",
            "ostrivel-run: LLVM_PROFILE_FILE=/dev/shm/elsewhere/%p%c.profraw "
            "is the profile file of no application of the method lists in "
            "\"<dir>/methods/\" on the channel \"ch\": it cannot be moved to "
            "a slot's channel (run ostrivel-methods --channel ch and use the "
            "LLVM_PROFILE_FILE it prints)"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// A library that kills its harness process fails that test alone; the
// other slot runs the rest, and their rows keep the list's order.
TEST(RunnerProgramTest, HarnessProcessThatDiesFailsOnlyItsTest) {
  TempDir dir;
  testing::LoopbackService first;
  testing::LoopbackService second;
  WriteFile(dir.File("ports"), "0 127.0.0.1 " + std::to_string(first.port()) +
                                   "\n1 127.0.0.1 " +
                                   std::to_string(second.port()) + "\n");
  WriteFile(dir.File("ostrivel.conf"),
            "res_location: " + dir.File("result.csv") +
                "\napplications: App\n"
                "crash_in: Crash\n");
  WriteFile(dir.File("tests.txt"),
            "First\ttrue\nCrash\ttrue\nThird\ttrue\nFourth\ttrue\n");
  CommandResult result =
      RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --library " +
                     OSTRIVEL_FAKE_LIBRARY_PATH + " --config " +
                     dir.File("ostrivel.conf") + " --jobs 2 --ports-file " +
                     dir.File("ports") + " " + dir.File("tests.txt"),
                 {});
  EXPECT_EQ(result.exitCode, kTestFailed) << result.output;
  EXPECT_THAT(result.output, HasSubstr("[2/4] Crash ... FAIL"));
  EXPECT_THAT(result.output,
              ::testing::ContainsRegex(
                  "\n    the harness process of slot [01] \\(127\\.0\\.0\\.1:"
                  "[0-9]+\\) ended during the test \\(signal 6\\)\n"));
  EXPECT_THAT(result.output, HasSubstr("4 tests: 3 passed, 1 failed."));
  std::vector<std::string> names;
  for (const std::string& line : Lines(ReadFile(dir.File("result.csv")))) {
    names.push_back(line.substr(0, line.find(';')));
  }
  EXPECT_THAT(names, ElementsAre("Test name", "First", "Third", "Fourth"));
}

TEST(RunnerProgramTest, UsageErrorsGiveExitCodeFour) {
  CommandResult result = RunCommand(
      std::string(OSTRIVEL_RUN_PATH) + " --config /nonexistent x", {});
  EXPECT_EQ(result.exitCode, kCannotRun) << result.output;
  CommandResult help =
      RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --help", {});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.output, HasSubstr("name<TAB>command"));
}

}  // namespace
}  // namespace ostrivel::runner
