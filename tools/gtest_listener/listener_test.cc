#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "tools/process/child_process.h"
#include "tools/runner/result_table.h"

namespace ostrivel {
namespace {

using process::CommandOptions;
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

// Runs the listener's test program with the given configuration and
// library in its environment, and "requireCoverage" as
// OSTRIVEL_REQUIRE_COVERAGE when given.
CommandResult RunProgram(const std::string& config, const std::string& library,
                         const char* requireCoverage = nullptr) {
  CommandOptions options;
  options.environment = {{"OSTRIVEL_CONFIG", config},
                         {"OSTRIVEL_LIBRARY", library}};
  if (requireCoverage != nullptr) {
    options.environment.emplace_back("OSTRIVEL_REQUIRE_COVERAGE",
                                     requireCoverage);
  }
  options.timeoutMs = 60000;
  return RunCommand(OSTRIVEL_LISTENER_PROGRAM_PATH, options);
}

// The lines of "output" that start with "prefix".
std::vector<std::string> LinesStartingWith(const std::string& output,
                                           const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : Lines(output)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// A configuration for the real library whose service does not answer:
// nothing listens on port 1 of the loopback address.
std::string UnreachableConfig(const TempDir& dir) {
  std::string config = dir.File("unreachable.conf");
  WriteFile(config,
            "host_name: 127.0.0.1\nport: 1\nconnect_timeout_ms: "
            "2000\nbase_location: " +
                dir.path() + "\nlog_location: " + dir.File("log.txt") +
                "\nres_location: " + dir.File("result.csv") + "\n");
  return config;
}

TEST(ListenerTest, CallsTheLibraryAroundEveryTestWithSuiteDotTestNames) {
  TempDir dir;
  WriteFile(dir.File("fake.conf"), "calls: " + dir.File("calls.txt") + "\n");
  CommandResult result =
      RunProgram(dir.File("fake.conf"), OSTRIVEL_FAKE_LIBRARY_PATH);
  EXPECT_TRUE(result.Passed()) << result.output;
  EXPECT_THAT(Lines(ReadFile(dir.File("calls.txt"))),
              ElementsAre("Init(" + dir.File("fake.conf") + ")", "Open()",
                          "SetTestName(Arithmetic.Adds)", "StartNewTestCase()",
                          "GetCollectedInformation()",
                          "SetTestName(Arithmetic.Subtracts)",
                          "StartNewTestCase()", "GetCollectedInformation()",
                          // "Small/SquareTest.IsNotNegative/0": no "/" in a
                          // name that goes into a file name.
                          "SetTestName(Small_SquareTest.IsNotNegative_0)",
                          "StartNewTestCase()", "GetCollectedInformation()",
                          "Close()"));
}

TEST(ListenerTest, TestsRunWithoutCoverageWhenTheLibraryIsMissing) {
  TempDir dir;
  WriteFile(dir.File("fake.conf"), "");
  CommandResult result =
      RunProgram(dir.File("fake.conf"), dir.File("libmissing.so"));
  EXPECT_TRUE(result.Passed()) << result.output;
  EXPECT_THAT(result.output, HasSubstr("[  PASSED  ] 3 tests."));
  int warnings = 0;
  for (const std::string& line : Lines(result.output)) {
    if (line.rfind("ostrivel: ", 0) == 0) {
      ++warnings;
      EXPECT_THAT(line, HasSubstr("libmissing.so"));
      EXPECT_THAT(line, HasSubstr("; tests run without coverage"));
    }
  }
  EXPECT_EQ(warnings, 1) << result.output;
}

TEST(ListenerTest, TestsRunWithoutCoverageWithoutAConfiguration) {
  CommandResult result = RunProgram("", OSTRIVEL_FAKE_LIBRARY_PATH);
  EXPECT_TRUE(result.Passed()) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("ostrivel: no configuration file given (set "
                        "OSTRIVEL_CONFIG); tests run without coverage\n"));
}

TEST(ListenerTest, AnUnreachableServiceIsNamedOnceNotOncePerTest) {
  TempDir dir;
  std::string config = UnreachableConfig(dir);
  CommandResult result = RunProgram(config, OSTRIVEL_LIBRARY_PATH);
  // Without OSTRIVEL_REQUIRE_COVERAGE the tests' own results decide.
  EXPECT_TRUE(result.Passed()) << result.output;
  EXPECT_THAT(
      LinesStartingWith(result.output, "ostrivel: cannot reach"),
      ElementsAre("ostrivel: cannot reach the collection service at "
                  "127.0.0.1:1 (host_name and port of " +
                  config + "): tests run without coverage until it answers"));
}

// How a run under OSTRIVEL_REQUIRE_COVERAGE=1 ends.
struct RequiredCoverageCase {
  const char* name;
  // Writes the configuration into the folder and returns its path ("" for
  // none), and the library to load.
  std::string (*configure)(const TempDir& dir);
  std::string library;
  bool passes;
  std::string reason;  // the listener's last line when it fails
};

void PrintTo(const RequiredCoverageCase& check, std::ostream* out) {
  *out << check.name;
}

std::string FakeWithRows(const TempDir& dir) {
  WriteFile(dir.File("fake.conf"), "res_location: " + dir.File("result.csv") +
                                       "\napplications: Alpha Beta\n");
  return dir.File("fake.conf");
}

std::string FakeWithoutRows(const TempDir& dir) {
  WriteFile(dir.File("fake.conf"),
            "res_location: " + dir.File("result.csv") + "\n");
  return dir.File("fake.conf");
}

const std::string kNoRows =
    "ostrivel: OSTRIVEL_REQUIRE_COVERAGE=1: 3 tests got no coverage row; the "
    "test program fails";

const RequiredCoverageCase kRequiredCoverageCases[] = {
    {"RowsWithCoverage", FakeWithRows, OSTRIVEL_FAKE_LIBRARY_PATH, true, ""},
    {"NoRows", FakeWithoutRows, OSTRIVEL_FAKE_LIBRARY_PATH, false, kNoRows},
    {"UnreachableService", UnreachableConfig, OSTRIVEL_LIBRARY_PATH, false,
     kNoRows},
    {"NoLibrary", FakeWithRows, "/nonexistent/libostrivel.so", false, kNoRows},
    {"NoConfiguration", [](const TempDir&) { return std::string(); },
     OSTRIVEL_FAKE_LIBRARY_PATH, false, kNoRows},
};

class RequiredCoverageTest
    : public ::testing::TestWithParam<RequiredCoverageCase> {};

TEST_P(RequiredCoverageTest, FailsTheProgramOnlyWhenCoverageIsMissing) {
  const RequiredCoverageCase& check = GetParam();
  TempDir dir;
  std::string config = check.configure(dir);
  CommandResult required = RunProgram(config, check.library, "1");
  EXPECT_EQ(required.Passed(), check.passes) << required.output;
  std::vector<std::string> lines =
      LinesStartingWith(required.output, "ostrivel: OSTRIVEL_REQUIRE_COVERAGE");
  if (check.passes) {
    EXPECT_THAT(lines, ElementsAre()) << required.output;
  } else {
    EXPECT_THAT(lines, ElementsAre(check.reason)) << required.output;
    // Each test without a row fails by name.
    EXPECT_THAT(required.output,
                HasSubstr("no coverage row for Arithmetic.Adds in the result "
                          "file (OSTRIVEL_REQUIRE_COVERAGE=1)\n[  FAILED  ] "
                          "Arithmetic.Adds"));
  }
  // Without the variable (or with another value) the tests' own results
  // decide.
  std::filesystem::remove(dir.File("result.csv"));
  EXPECT_TRUE(RunProgram(config, check.library, "0").Passed());
}

INSTANTIATE_TEST_SUITE_P(Runs, RequiredCoverageTest,
                         ::testing::ValuesIn(kRequiredCoverageCases),
                         [](const auto& test) {
                           return std::string(test.param.name);
                         });

// Where ostrivel-slot lies when a program with the listener runs with
// OSTRIVEL_SLOTS set, and whether the program restarts on a slot.
struct SlotRestartCase {
  const char* name;
  // "lib/" holds a copy of the fake library, which the program loads;
  // "lib/ostrivel-slot" and "bin/ostrivel-slot" are copies of the launcher
  // when set.
  bool besideLibrary;
  bool inBin;
  bool onPath;
  std::string arguments;      // for the program
  std::string alreadyOnSlot;  // OSTRIVEL_SLOT
  bool restarts;
};

void PrintTo(const SlotRestartCase& check, std::ostream* out) {
  *out << check.name;
}

const SlotRestartCase kSlotRestartCases[] = {
    {"BesideTheLibrary", true, false, false, "", "", true},
    {"InBinBesideTheLibrarysFolder", false, true, false, "", "", true},
    {"OnPath", false, false, true, "", "", true},
    {"ListingTheTests", true, false, false, "--gtest_list_tests", "", false},
    {"AlreadyOnASlot", true, false, false, "", "1", false},
    {"Nowhere", false, false, false, "", "", false},
};

class SlotRestartTest : public ::testing::TestWithParam<SlotRestartCase> {};

TEST_P(SlotRestartTest, RestartsUnderTheLauncherWhenItCanAndShould) {
  const SlotRestartCase& check = GetParam();
  TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.File("lib"));
  fs::create_directories(dir.File("bin"));
  fs::copy_file(OSTRIVEL_FAKE_LIBRARY_PATH, dir.File("lib/libfake.so"));
  if (check.besideLibrary) {
    fs::copy_file(OSTRIVEL_SLOT_PATH, dir.File("lib/ostrivel-slot"));
  }
  if (check.inBin)
    fs::copy_file(OSTRIVEL_SLOT_PATH, dir.File("bin/ostrivel-slot"));
  WriteFile(dir.File("ports"), "0 127.0.0.1 1\n");
  WriteFile(dir.File("fake.conf"),
            "calls: " + dir.File("calls.txt") +
                "\nres_location: " + dir.File("result.csv") + "\n");

  CommandOptions options;
  options.timeoutMs = 60000;
  options.environment = {
      {"OSTRIVEL_CONFIG", dir.File("fake.conf")},
      {"OSTRIVEL_LIBRARY", dir.File("lib/libfake.so")},
      {"OSTRIVEL_SLOTS", dir.File("ports")},
      {"OSTRIVEL_SLOT", check.alreadyOnSlot},
      {"PATH", check.onPath
                   ? fs::path(OSTRIVEL_SLOT_PATH).parent_path().string() +
                         ":/usr/bin:/bin"
                   : "/usr/bin:/bin"}};
  CommandResult result = RunCommand(
      std::string(OSTRIVEL_LISTENER_PROGRAM_PATH) + " " + check.arguments,
      options);
  EXPECT_TRUE(result.Passed()) << result.output;
  // The launcher claims a slot by its lock file.
  EXPECT_EQ(testing::FileExists(dir.File("ports.0.lock")), check.restarts);
  std::vector<std::string> calls =
      Lines(testing::FileExists(dir.File("calls.txt"))
                ? ReadFile(dir.File("calls.txt"))
                : "");
  std::vector<std::string> warnings =
      LinesStartingWith(result.output, "ostrivel");
  if (check.restarts) {
    // On the slot, the library reads the launcher's copy of the
    // configuration.
    ASSERT_FALSE(calls.empty());
    EXPECT_THAT(calls[0], ::testing::StartsWith("Init(/"));
    EXPECT_THAT(calls[0], HasSubstr("/ostrivel-slot-"));
    EXPECT_THAT(warnings, ElementsAre()) << result.output;
  } else if (check.arguments.empty() && check.alreadyOnSlot.empty()) {
    // Not found: the tests run, but nothing counts outside a slot.
    EXPECT_THAT(calls, ElementsAre());
    EXPECT_THAT(
        warnings,
        ElementsAre("ostrivel: OSTRIVEL_SLOTS is set, but ostrivel-slot "
                    "is not in " +
                    dir.File("lib") + ", in " + dir.File("lib") +
                    "/../bin or on PATH; tests run "
                    "without coverage, so as not to count into the "
                    "slot of another test program"));
    EXPECT_THAT(result.output, HasSubstr("[  PASSED  ] 3 tests."));
  } else if (!check.alreadyOnSlot.empty()) {
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0], "Init(" + dir.File("fake.conf") + ")");
  } else {
    EXPECT_THAT(result.output, HasSubstr("Arithmetic."));
    EXPECT_THAT(calls, ElementsAre());
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SlotRestartTest,
                         ::testing::ValuesIn(kSlotRestartCases),
                         [](const auto& test) {
                           return std::string(test.param.name);
                         });

#ifdef OSTRIVEL_SERVICE_PATH
// A collection service for the application Tiny (two methods, which the
// listener's test program never calls), and "ostrivel.conf" in "dir" naming
// it, with every file of the run in "dir".
std::unique_ptr<tools::testing::StartedService> StartTinyService(
    const TempDir& dir, const std::string& channelPrefix) {
  std::string methods = dir.File("methods/");
  std::filesystem::create_directory(methods);
  WriteFile(methods + "tiny.csv", "ProjectName;Tiny\n0;f;p\n1;g;p\n");
  auto service = std::make_unique<tools::testing::StartedService>(
      OSTRIVEL_SERVICE_PATH, methods,
      tools::testing::UniqueChannel(channelPrefix), dir.File("service.log"));
  if (service->ok()) {
    WriteFile(dir.File("ostrivel.conf"),
              "host_name: 127.0.0.1\nport: " + std::to_string(service->port()) +
                  "\nbase_location: " + dir.path() +
                  "\nlog_location: " + dir.File("log.txt") +
                  "\nres_location: " + dir.File("result.csv") +
                  "\nmethods_location: " + methods + "\n");
  }
  return service;
}

TEST(ListenerTest, EveryRowAtZeroPercentFailsTheProgramWhenRequired) {
  TempDir dir;
  auto service = StartTinyService(dir, "listener-zero");
  ASSERT_TRUE(service->ok()) << service->startOutput();
  // Nothing in the program counts into Tiny: every row says 0 %.
  CommandResult result =
      RunProgram(dir.File("ostrivel.conf"), OSTRIVEL_LIBRARY_PATH, "1");
  EXPECT_FALSE(result.Passed()) << result.output;
  EXPECT_THAT(
      LinesStartingWith(result.output, "ostrivel: OSTRIVEL_REQUIRE_COVERAGE"),
      ElementsAre("ostrivel: OSTRIVEL_REQUIRE_COVERAGE=1: every row of the "
                  "run says 0 % coverage; the test program fails"));
  EXPECT_THAT(result.output, HasSubstr("[  PASSED  ] 3 tests."));
}

TEST(ListenerTest, RealLibraryWritesOneRowPerTestNamedSuiteDotTest) {
  TempDir dir;
  auto service = StartTinyService(dir, "listener");
  ASSERT_TRUE(service->ok()) << service->startOutput();
  CommandResult result =
      RunProgram(dir.File("ostrivel.conf"), OSTRIVEL_LIBRARY_PATH);
  EXPECT_TRUE(result.Passed()) << result.output;

  runner::ResultRows rows =
      runner::ParseResultRows(ReadFile(dir.File("result.csv")));
  EXPECT_EQ(rows.unreadableLines, 0);
  std::vector<std::string> names;
  for (const runner::ResultRow& row : rows.rows) {
    names.push_back(row.testName + ";" + row.application + ";" +
                    row.traceLength + ";" + row.coverage + ";" + row.covered +
                    ";" + row.notCovered);
  }
  EXPECT_THAT(names,
              ElementsAre("Arithmetic.Adds;Tiny;0;0;;0 1",
                          "Arithmetic.Subtracts;Tiny;0;0;;0 1",
                          "Small_SquareTest.IsNotNegative_0;Tiny;0;0;;0 1"));
  EXPECT_TRUE(testing::FileExists(dir.File("Arithmetic.Adds_Tiny_trace.csv")));
}
#endif

}  // namespace
}  // namespace ostrivel
