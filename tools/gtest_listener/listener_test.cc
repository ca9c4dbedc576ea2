#include <filesystem>
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
// library in its environment.
CommandResult RunProgram(const std::string& config,
                         const std::string& library) {
  CommandOptions options;
  options.environment = {{"OSTRIVEL_CONFIG", config},
                         {"OSTRIVEL_LIBRARY", library}};
  options.timeoutMs = 60000;
  return RunCommand(OSTRIVEL_LISTENER_PROGRAM_PATH, options);
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

#ifdef OSTRIVEL_SERVICE_PATH
TEST(ListenerTest, RealLibraryWritesOneRowPerTestNamedSuiteDotTest) {
  TempDir dir;
  std::string methods = dir.File("methods/");
  std::filesystem::create_directory(methods);
  WriteFile(methods + "tiny.csv", "ProjectName;Tiny\n0;f;p\n1;g;p\n");
  tools::testing::StartedService service(
      OSTRIVEL_SERVICE_PATH, methods, tools::testing::UniqueChannel("listener"),
      dir.File("service.log"));
  ASSERT_TRUE(service.ok()) << service.startOutput();
  WriteFile(dir.File("ostrivel.conf"),
            "host_name: 127.0.0.1\nport: " + std::to_string(service.port()) +
                "\nbase_location: " + dir.path() +
                "\nlog_location: " + dir.File("log.txt") +
                "\nres_location: " + dir.File("result.csv") +
                "\nmethods_location: " + methods + "\n");
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
