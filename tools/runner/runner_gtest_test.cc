// ostrivel-run --gtest through the real program: a GoogleTest program built
// with the probe, a private collection service, the real library.

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "formats/result_format.h"
#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/process/child_process.h"
#include "tools/runner/gtest_tests.h"
#include "tools/runner/result_table.h"
#include "tools/runner/runner.h"

namespace ostrivel::runner {

using process::ShellQuoted;
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::ReadFile;
using testing::SplitLines;
using testing::TempDir;
using testing::WriteFile;

// ---- the listing ----

TEST(GtestListingTest, ReadsSuitesTestsAndTheirComments) {
  EXPECT_THAT(
      ParseGtestListing("Running main() from gtest_main.cc\n"
                        "Table.\n"
                        "  First\n"
                        "  Second\r\n"
                        "Small/Squares.  # TypeParam = \n"
                        "  AreProducts/0  # GetParam() = 2\n"
                        "  AreProducts/1  # GetParam() = 3\n"
                        "Typed/1.  # TypeParam = long\n"
                        "  ZeroSquared\n"
                        "some other line\n"
                        "  NotATest\n"
                        "    deeper\n"),
      ElementsAre("Table.First", "Table.Second", "Small/Squares.AreProducts/0",
                  "Small/Squares.AreProducts/1", "Typed/1.ZeroSquared"));
  EXPECT_THAT(ParseGtestListing(""), IsEmpty());
  EXPECT_TRUE(IsDisabledTest("Table.DISABLED_Off"));
  EXPECT_TRUE(IsDisabledTest("DISABLED_Suite.Name"));
  EXPECT_TRUE(IsDisabledTest("Inst/DISABLED_Suite.Name/0"));
  EXPECT_FALSE(IsDisabledTest("Suite.NotDISABLED_"));
  EXPECT_THAT(ParseGtestListing("  Orphan\n"), IsEmpty());
}

// ---- exact trace lengths ----

struct TraceCase {
  const char* name;
  const char* rowText;     // the result file's trace length
  const char* traceCalls;  // the trace file's counts, or null: no file
  const char* shown;
};

class ExactTraceLengthTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(ExactTraceLengthTest, ComesFromTheTraceFileWhenItMatches) {
  TempDir dir;
  const TraceCase& c = GetParam();
  if (c.traceCalls != nullptr) {
    std::string text = "ID; Method; Package; Number of calls\r\n";
    std::vector<std::string> counts;
    std::string calls = c.traceCalls;
    int line = 0;
    for (std::size_t start = 0; start < calls.size();) {
      std::size_t end = calls.find(' ', start);
      if (end == std::string::npos) end = calls.size();
      ++line;
      text += "0x" + std::to_string(line) + ";f" + std::to_string(line) + ";;" +
              calls.substr(start, end - start) + "\r\n";
      start = end + 1;
    }
    WriteFile(dir.File("Big_App_trace.csv"), text);
  }
  std::vector<ResultRow> rows = {{"Big", "App", c.rowText, "1", "1", "", ""}};
  UseExactTraceLengths(dir.path(), &rows);
  EXPECT_EQ(rows[0].traceLength, c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ExactTraceLengthTest,
    ::testing::Values(
        TraceCase{"Rounded", "1.86541e+07", "18000000 654058", "18654058"},
        TraceCase{"StaleFile", "1.86541e+07", "12", "1.86541e+07"},
        TraceCase{"NoFile", "1.86541e+07", nullptr, "1.86541e+07"},
        TraceCase{"AlreadyExact", "999999", "5", "999999"},
        TraceCase{"Billions", "4.29497e+09", "2147483647 2147483647 2",
                  "4294967296"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// ---- the program ----

struct Row {
  std::string traceLength;
  std::string coverage;
  std::string covered;
};

// The rows of a result file by test name.
std::map<std::string, Row> Rows(const std::string& path) {
  std::map<std::string, Row> rows;
  for (const ResultRow& row : ParseResultRows(ReadFile(path)).rows) {
    rows[row.testName] = Row{row.traceLength, row.coverage, row.covered};
  }
  return rows;
}

// The processes whose command line holds "text".
std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  std::error_code error;
  for (const fs::directory_entry& entry :
       fs::directory_iterator("/proc", error)) {
    std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    std::string commandLine((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (commandLine.find(text) != std::string::npos) found.push_back(pid);
  }
  return found;
}

class GtestRunTest : public ::testing::Test {
 protected:
  // Runs ostrivel-run with "arguments" (each quoted) in the temporary
  // directory; the run's files go to its "out/".
  process::CommandResult Run(
      const std::vector<std::string>& arguments,
      const std::string& program = OSTRIVEL_RUN_PATH,
      std::vector<std::pair<std::string, std::string>> environment = {}) {
    std::string command = "cd " + ShellQuoted(dir_.path()) + " && " +
                          ShellQuoted(program) + " --library " +
                          ShellQuoted(OSTRIVEL_LIBRARY_PATH) + " --timeout 60";
    for (const std::string& argument : arguments) {
      command += " " + ShellQuoted(argument);
    }
    process::CommandOptions options;
    options.environment = std::move(environment);
    options.environment.emplace_back("OSTRIVEL_REQUIRE_COVERAGE", "");
    options.timeoutMs = 150000;
    return process::RunCommand(command, options);
  }

  std::string Out() const { return dir_.File("out"); }

  void ExpectNoServiceLeft() {
    EXPECT_THAT(ProcessesMentioning(Out()), IsEmpty());
  }

  TempDir dir_;
};

TEST_F(GtestRunTest, RunsEveryTestAloneUnderItsOwnName) {
  process::CommandResult run =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--include",
           "^sample::", "--output-dir", Out()});
  ASSERT_EQ(run.exitCode, kSuccess) << run.output;
  std::vector<std::string> progress;
  for (const std::string& line : SplitLines(run.output)) {
    std::smatch match;
    if (std::regex_match(
            line, match,
            std::regex(R"(\[\d+/11\] (\S+) \.\.\. (\w+) \(\d+ ms\))"))) {
      progress.push_back(match[1].str() + " " + match[2].str());
    }
  }
  EXPECT_THAT(
      progress,
      ElementsAre("Table.First PASS", "Table.Second PASS",
                  "Table.FailsWhenAsked PASS", "Skipping.SkipsItself SKIP",
                  "Slow.SleepsWhenAsked PASS", "Typed_0.ZeroSquared PASS",
                  "Typed_1.ZeroSquared PASS", "Overlap.Left PASS",
                  "Overlap.Right PASS", "Small_Squares.AreProducts_0 PASS",
                  "Small_Squares.AreProducts_1 PASS"))
      << run.output;
  EXPECT_THAT(run.output, HasSubstr("Output directory: " + Out() + "\n"));
  EXPECT_THAT(run.output, HasSubstr("Left out 1 disabled test.\n"));
  EXPECT_THAT(run.output,
              HasSubstr("11 tests: 10 passed, 0 failed, 1 skipped."));

  // Each test builds the table in its own process: the second counts what
  // the first does (TableValue, BuildTable, ten calls of Square), not a
  // look-up in a table an earlier test left.
  std::map<std::string, Row> rows = Rows(Out() + "/result.csv");
  ASSERT_EQ(rows.count("Table.First"), 1u) << run.output;
  EXPECT_EQ(rows["Table.First"].traceLength, "12");
  EXPECT_EQ(rows["Table.Second"].traceLength, "12");
  EXPECT_EQ(rows["Small_Squares.AreProducts_1"].traceLength, "1");
  EXPECT_EQ(rows["Skipping.SkipsItself"].traceLength, "0");
  EXPECT_EQ(rows.count("Table.DISABLED_NeverRuns"), 0u);
  EXPECT_TRUE(
      fs::exists(Out() + "/traces/Table.First_runner_gtest_sample_trace.csv"));
  ExpectNoServiceLeft();
}

TEST_F(GtestRunTest, OneTestAloneCountsAsWithinTheWholeList) {
  process::CommandResult all =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--output-dir", Out()});
  ASSERT_EQ(all.exitCode, kSuccess) << all.output;
  std::map<std::string, Row> whole = Rows(Out() + "/result.csv");

  fs::remove_all(Out());
  process::CommandResult one =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Table.Second",
           "--output-dir", Out(), "--application", "Sample"});
  ASSERT_EQ(one.exitCode, kSuccess) << one.output;
  EXPECT_THAT(one.output, HasSubstr("[1/1] Table.Second ... PASS"));
  std::map<std::string, Row> alone = Rows(Out() + "/result.csv");
  ASSERT_EQ(alone.size(), 1u) << one.output;
  ASSERT_EQ(whole.count("Table.Second"), 1u) << all.output;
  EXPECT_EQ(alone["Table.Second"].traceLength,
            whole["Table.Second"].traceLength);
  EXPECT_EQ(alone["Table.Second"].covered, whole["Table.Second"].covered);
  EXPECT_NE(alone["Table.Second"].coverage, "0");
  EXPECT_THAT(ReadFile(Out() + "/methods/Sample.csv"),
              HasSubstr("ProjectName;Sample\n"));
}

TEST_F(GtestRunTest, FailingTestStillStopsTheService) {
  process::CommandResult run =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Table.*",
           "--output-dir", Out()},
          OSTRIVEL_RUN_PATH, {{"SAMPLE_FAIL", "1"}});
  EXPECT_EQ(run.exitCode, kTestFailed) << run.output;
  EXPECT_THAT(run.output, HasSubstr("] Table.FailsWhenAsked ... FAIL"));
  EXPECT_THAT(run.output, HasSubstr("asked to fail"));
  ExpectNoServiceLeft();
}

TEST_F(GtestRunTest, StoppedRunnerStopsItsService) {
  tools::testing::ChildProcess runner;
  ASSERT_TRUE(runner.Start(
      {OSTRIVEL_RUN_PATH, "--library", OSTRIVEL_LIBRARY_PATH, "--gtest",
       OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Slow.*", "--output-dir", Out()},
      {"SAMPLE_SLEEP=1"}));
  for (;;) {
    std::optional<std::string> line = runner.ReadLine();
    ASSERT_TRUE(line.has_value()) << "no service started";
    if (line->rfind("Collection service: ", 0) == 0) break;
  }
  ASSERT_THAT(ProcessesMentioning(Out()), ::testing::Not(IsEmpty()));
  runner.Signal(SIGTERM);
  std::optional<int> status = runner.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(process::TerminatingSignal(*status), SIGTERM);
  // The service ends on the runner's SIGTERM, a moment after the runner.
  for (int i = 0; i < 200 && !ProcessesMentioning(Out()).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ExpectNoServiceLeft();
}

TEST_F(GtestRunTest, RequiredCoverageFailsForAProgramThatCountsNothing) {
  process::CommandResult plain =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE_PLAIN, "--gtest_filter=Table.First",
           "--output-dir", Out(), "--require-coverage"});
  EXPECT_EQ(plain.exitCode, kTestFailed) << plain.output;
  EXPECT_THAT(plain.output,
              HasSubstr("ostrivel-run: coverage required, but every row of "
                        "this run shows 0 % coverage (1 rows): the programs "
                        "counted no call (are they instrumented and linked "
                        "with the probe?)\n"));
  // The program's problem is told once, by the method list's writer.
  std::size_t first = plain.output.find("has no instrumented function");
  ASSERT_NE(first, std::string::npos) << plain.output;
  EXPECT_EQ(plain.output.find("has no instrumented function", first + 1),
            std::string::npos)
      << plain.output;

  // The same through the environment, for a program that counts.
  process::CommandResult counted =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Table.First",
           "--output-dir", Out()},
          OSTRIVEL_RUN_PATH, {{"OSTRIVEL_REQUIRE_COVERAGE", "1"}});
  EXPECT_EQ(counted.exitCode, kSuccess) << counted.output;
  ExpectNoServiceLeft();
}

TEST_F(GtestRunTest, UsesTheConfigurationsServiceWhenItAnswers) {
  // The user's own service and method list; the program's environment is
  // the user's to set.
  std::string methods = dir_.File("methods/");
  fs::create_directories(methods);
  process::CommandResult listed = process::RunCommand(
      ShellQuoted(OSTRIVEL_METHODS_PATH) + " --binary " +
          ShellQuoted(OSTRIVEL_GTEST_SAMPLE) +
          " --application Mine --include '^sample::' --output " +
          ShellQuoted(methods + "mine.csv"),
      {});
  ASSERT_TRUE(listed.Passed()) << listed.output;
  std::string channel = tools::testing::UniqueChannel("gtest");
  tools::testing::StartedService service(OSTRIVEL_SERVICE_PATH, methods,
                                         channel, dir_.File("service.log"));
  ASSERT_TRUE(service.ok()) << service.startOutput();
  WriteFile(dir_.File("mine.conf"),
            "host_name: 127.0.0.1\nport: " + std::to_string(service.port()) +
                "\nres_location: " + dir_.File("mine.csv") +
                "\nlog_location: " + dir_.File("log.txt") +
                "\nbase_location: " + dir_.path() +
                "\nmethods_location: " + methods + "\n");

  process::CommandResult run =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Table.First",
           "--config", dir_.File("mine.conf"), "--output-dir", Out()},
          OSTRIVEL_RUN_PATH,
          {{"OSTRIVEL_METHOD_LIST", methods + "mine.csv"},
           {"OSTRIVEL_CHANNEL", channel}});
  ASSERT_EQ(run.exitCode, kSuccess) << run.output;
  EXPECT_THAT(run.output, ::testing::Not(HasSubstr("Output directory")));
  EXPECT_FALSE(fs::exists(Out()));
  EXPECT_EQ(Rows(dir_.File("mine.csv"))["Table.First"].traceLength, "12");
}

TEST_F(GtestRunTest, ConfigurationWhoseServiceDoesNotAnswerGivesAPrivateRun) {
  WriteFile(dir_.File("gone.conf"), "host_name: 127.0.0.1\nport: 1\n");
  process::CommandResult run =
      Run({"--gtest", OSTRIVEL_GTEST_SAMPLE, "--gtest_filter=Table.First",
           "--config", dir_.File("gone.conf"), "--output-dir", Out()});
  ASSERT_EQ(run.exitCode, kSuccess) << run.output;
  EXPECT_THAT(SplitLines(run.output),
              ::testing::Contains("The service of " + dir_.File("gone.conf") +
                                  " (127.0.0.1:1) does not answer: starting "
                                  "a private one."));
  EXPECT_EQ(Rows(Out() + "/result.csv").count("Table.First"), 1u);
  ExpectNoServiceLeft();
}

// Builds the sample with clang-14 on the clang route into "program".
// Returns why it cannot when clang-14 is missing or fails and
// OSTRIVEL_REQUIRE_CLANG is not 1; fails the test when it is.
std::string BuildClangSample(const std::string& program) {
  std::string clang = OSTRIVEL_CLANG14_PATH;
  const char* required = std::getenv("OSTRIVEL_REQUIRE_CLANG");
  bool mustBuild = required != nullptr && std::string(required) == "1";
  if (clang.empty() && !mustBuild) return "clang-14 is not installed";
  process::CommandOptions options;
  options.timeoutMs = 120000;
  process::CommandResult built = process::RunCommand(
      ShellQuoted(clang) +
          " --driver-mode=g++ -std=c++17 -O1 -fprofile-instr-generate -mllvm "
          "-runtime-counter-relocation " +
          ShellQuoted(OSTRIVEL_GTEST_SAMPLE_SOURCE) +
          " -lgtest_main -lgtest -pthread -o " + ShellQuoted(program),
      options);
  if (!built.Passed() && !mustBuild) {
    return "clang-14 cannot build the sample: " + built.output;
  }
  EXPECT_TRUE(built.Passed()) << built.output;
  return "";
}

TEST_F(GtestRunTest, ClangBuiltProgramCountsThroughItsProfileFile) {
  std::string program = dir_.File("clang_sample");
  std::string skipped = BuildClangSample(program);
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  ASSERT_FALSE(HasFailure());

  process::CommandResult run =
      Run({"--gtest", program, "--gtest_filter=Table.Second", "--include",
           "^sample::", "--output-dir", Out()});
  ASSERT_EQ(run.exitCode, kSuccess) << run.output;
  EXPECT_THAT(run.output, HasSubstr("run the program with LLVM_PROFILE_FILE="));
  EXPECT_EQ(Rows(Out() + "/result.csv")["Table.Second"].traceLength, "12");
  ExpectNoServiceLeft();
}

// ---- several tests at once ----

struct ParallelCase {
  const char* name;
  bool clang;  // the sample built by clang-14, counting through its profile
};

class ParallelRunTest : public GtestRunTest,
                        public ::testing::WithParamInterface<ParallelCase> {
 protected:
  // The case's program; "*skipped" says why there is none.
  std::string CaseProgram(std::string* skipped) {
    if (!GetParam().clang) return OSTRIVEL_GTEST_SAMPLE;
    std::string program = dir_.File("clang_sample");
    *skipped = BuildClangSample(program);
    return program;
  }
};

TEST_P(ParallelRunTest, TestsRunningAtOnceCountOnlyTheirOwnCalls) {
  std::string skipped;
  std::string program = CaseProgram(&skipped);
  if (!skipped.empty()) GTEST_SKIP() << skipped;
  ASSERT_FALSE(HasFailure());
  fs::create_directory(dir_.File("barrier"));
  process::CommandResult run =
      Run({"--gtest", program, "--gtest_filter=Overlap.*", "--include",
           "^sample::", "--output-dir", Out(), "--jobs", "2"},
          OSTRIVEL_RUN_PATH, {{"SAMPLE_BARRIER", dir_.File("barrier")}});
  ASSERT_EQ(run.exitCode, kSuccess) << run.output;
  auto calls = [&](const std::string& test, const std::string& function) {
    std::string trace =
        ReadFile(Out() + "/traces/" + test + "_" +
                 fs::path(program).filename().string() + "_trace.csv");
    for (const std::string& line : SplitLines(trace)) {
      if (line.find(function) != std::string::npos) {
        return std::atoi(line.c_str() + line.rfind(';') + 1);
      }
    }
    return 0;
  };
  EXPECT_EQ(calls("Overlap.Left", "LeftOnly"), 1) << run.output;
  EXPECT_EQ(calls("Overlap.Left", "RightOnly"), 0) << run.output;
  EXPECT_EQ(calls("Overlap.Right", "RightOnly"), 1) << run.output;
  EXPECT_EQ(calls("Overlap.Right", "LeftOnly"), 0) << run.output;
  ExpectNoServiceLeft();
}

INSTANTIATE_TEST_SUITE_P(Routes, ParallelRunTest,
                         ::testing::Values(ParallelCase{"Probe", false},
                                           ParallelCase{"ClangProfile", true}),
                         [](const auto& testCase) {
                           return std::string(testCase.param.name);
                         });

struct SetupFailure {
  const char* name;
  // Sets up the temporary directory; returns the arguments after --gtest.
  std::vector<std::string> (*prepare)(const TempDir& dir);
  const char* message;  // expected on its own line, <dir> for the directory
  bool copiedRunner;    // run a copy of ostrivel-run in the directory
};

std::string Script(const TempDir& dir, const std::string& name,
                   const std::string& body) {
  std::string path = dir.File(name);
  WriteFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

class GtestSetupFailureTest
    : public GtestRunTest,
      public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(GtestSetupFailureTest, SaysWhyAndRunsNothing) {
  const SetupFailure& c = GetParam();
  std::vector<std::string> arguments = {"--gtest"};
  for (const std::string& argument : c.prepare(dir_)) {
    arguments.push_back(argument);
  }
  arguments.insert(arguments.end(), {"--output-dir", Out()});
  std::string runner = OSTRIVEL_RUN_PATH;
  if (c.copiedRunner) {
    runner = dir_.File("ostrivel-run");
    fs::copy_file(OSTRIVEL_RUN_PATH, runner);
    fs::create_symlink(OSTRIVEL_METHODS_PATH, dir_.File("ostrivel-methods"));
  }
  process::CommandResult run = Run(arguments, runner);
  EXPECT_EQ(run.exitCode, kCannotRun) << run.output;
  std::string expected =
      std::regex_replace(c.message, std::regex("<dir>"), dir_.path());
  EXPECT_THAT(SplitLines(run.output), ::testing::Contains(expected))
      << run.output;
  EXPECT_FALSE(fs::exists(Out() + "/result.csv"));
  ExpectNoServiceLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Messages, GtestSetupFailureTest,
    ::testing::Values(
        SetupFailure{"NoSuchProgram",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{dir.File("missing")};
                     },
                     "ostrivel-run: no such program: <dir>missing", false},
        SetupFailure{"ListingFails",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{
                           Script(dir, "fails", "exit 3\n")};
                     },
                     "ostrivel-run: <dir>fails --gtest_list_tests failed "
                     "(exit code 3): is it a GoogleTest program?",
                     false},
        SetupFailure{"ListsNothing",
                     [](const TempDir& dir) {
                       return std::vector<std::string>{
                           Script(dir, "silent", "echo hello\n")};
                     },
                     "ostrivel-run: <dir>silent --gtest_list_tests lists no "
                     "tests: is it a GoogleTest program?",
                     false},
        SetupFailure{"FilterMatchesNothing",
                     [](const TempDir&) {
                       return std::vector<std::string>{OSTRIVEL_GTEST_SAMPLE,
                                                       "--gtest_filter=None.*"};
                     },
                     "ostrivel-run: " OSTRIVEL_GTEST_SAMPLE
                     " --gtest_list_tests lists no tests matching "
                     "--gtest_filter=None.* (is it a GoogleTest program?)",
                     false},
        SetupFailure{"NoMethodList",
                     [](const TempDir& dir) {
                       // Lists like GoogleTest, but is no ELF program.
                       return std::vector<std::string>{
                           Script(dir, "script", "printf 'A.\\n  b\\n'\n")};
                     },
                     "ostrivel-run: ostrivel-methods could not write the "
                     "method list of \"<dir>script\" (exit code 1)",
                     false},
        SetupFailure{"ServiceDoesNotStart",
                     [](const TempDir& dir) {
                       Script(dir, "ostrivel-service",
                              "echo 'ostrivel-service: no room' >&2; "
                              "exit 1\n");
                       return std::vector<std::string>{OSTRIVEL_GTEST_SAMPLE};
                     },
                     "ostrivel-run: the collection service "
                     "\"<dir>ostrivel-service\" did not start (its messages, "
                     "if any, are above)",
                     true}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
}  // namespace ostrivel::runner
