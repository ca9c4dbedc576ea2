// ostrivel-slot, run as a program: how it claims, waits for and hands on
// slots, what it gives its command, and GoogleTest programs with the
// coverage listener running side by side under ctest -j2 on a real
// service's slots.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

namespace ostrivel::slots {
namespace {

using ostrivel::testing::FileExists;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using process::CommandOptions;
using process::CommandResult;
using process::RunCommand;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tools::testing::ChildProcess;

const std::string kHeader = std::string(formats::kResultHeader) + "\r\n";

// Waits up to 20 s for "path" to exist.
bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 400 && !FileExists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return FileExists(path);
}

// A service's ports file with two slots (nothing needs to listen: the
// launcher only hands the ports on) and a configuration in a temporary
// folder, and "hold.sh NAME", a command that writes its slot to
// NAME.started and its pid to NAME.pid and runs until NAME.release
// exists (at most 30 s).
class SlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(ports_, "0 127.0.0.1 40001\n1 127.0.0.1 40002\n");
    WriteFile(dir_.File("ostrivel.conf"),
              "port: 1\nlog_location: " + dir_.File("log.txt") +
                  "\nres_location: " + dir_.File("result.csv") + "\n");
    WriteFile(hold_,
              "#!/bin/sh\n"
              "cd '" +
                  dir_.path() +
                  "' || exit 9\n"
                  "echo $$ > \"$1.pid\"\n"
                  "echo \"$OSTRIVEL_SLOT\" > \"$1.tmp\" && mv \"$1.tmp\" "
                  "\"$1.started\"\n"
                  "i=0\n"
                  "while [ ! -e \"$1.release\" ] && [ $i -lt 600 ]; do\n"
                  "  sleep 0.05; i=$((i + 1))\n"
                  "done\n");
    std::filesystem::permissions(hold_, std::filesystem::perms::owner_all);
  }

  std::vector<std::string> Environment() const {
    return {"OSTRIVEL_SLOTS=" + ports_,
            "OSTRIVEL_CONFIG=" + dir_.File("ostrivel.conf"),
            "OSTRIVEL_CHANNEL=chan",
            "LLVM_PROFILE_FILE=", "OSTRIVEL_SLOT_WAIT="};
  }

  CommandResult Run(const std::string& arguments,
                    std::vector<std::string> extra = {}) const {
    CommandOptions options;
    for (const std::string& variable : Environment())
      extra.insert(extra.begin(), variable);
    for (const std::string& variable : extra) {
      std::size_t equals = variable.find('=');
      options.environment.emplace_back(variable.substr(0, equals),
                                       variable.substr(equals + 1));
    }
    options.timeoutMs = 60000;
    return RunCommand(std::string(OSTRIVEL_SLOT_PATH) + " " + arguments,
                      options);
  }

  // Starts "ostrivel-slot -- hold.sh NAME" with its standard error on its
  // standard output.
  std::unique_ptr<ChildProcess> Hold(const std::string& name,
                                     std::vector<std::string> extra = {}) {
    auto launcher = std::make_unique<ChildProcess>();
    std::vector<std::string> environment = Environment();
    environment.insert(environment.end(), extra.begin(), extra.end());
    EXPECT_TRUE(
        launcher->Start({"/bin/sh", "-c", "exec \"$0\" -- \"$1\" \"$2\" 2>&1",
                         OSTRIVEL_SLOT_PATH, hold_, name},
                        environment));
    return launcher;
  }

  std::string Started(const std::string& name) {
    EXPECT_TRUE(WaitForFile(dir_.File(name + ".started"))) << name;
    return ReadFile(dir_.File(name + ".started"));
  }

  void Release(const std::string& name, ChildProcess& launcher) {
    WriteFile(dir_.File(name + ".release"), "");
    std::optional<int> status = launcher.Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(tools::testing::ExitCode(*status), 0) << name;
  }

  std::string WaitingLine(const std::string& wait) const {
    return "ostrivel-slot: all 2 slots of \"" + ports_ +
           "\" are taken: waiting for one (at most " + wait + " s)";
  }

  TempDir dir_;
  std::string ports_ = dir_.File("ports");
  std::string hold_ = dir_.File("hold.sh");
};

TEST_F(SlotTest, GivesTheCommandItsSlotsChannelConfigurationAndLog) {
  auto first = Hold("first");
  EXPECT_EQ(Started("first"), "0\n");
  CommandResult second =
      Run("-- sh -c 'echo \"$OSTRIVEL_SLOT $OSTRIVEL_CHANNEL\"; echo "
          "\"$OSTRIVEL_CONFIG\"; cat \"$OSTRIVEL_CONFIG\"'");
  ASSERT_EQ(second.exitCode, 0) << second.output;
  std::vector<std::string> lines;
  for (const std::string& line : testing::SplitLines(second.output)) {
    if (!line.empty()) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 8u) << second.output;
  EXPECT_EQ(lines[0], "1 chan.1");
  // The configuration as given, then the slot's port and its own log.
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.end()),
              ElementsAre("port: 1", "log_location: " + dir_.File("log.txt"),
                          "res_location: " + dir_.File("result.csv"),
                          "host_name: 127.0.0.1", "port: 40002",
                          "log_location: " + dir_.File("log.slot1.txt")));
  // The copy is the command's alone and goes with it.
  EXPECT_FALSE(FileExists(lines[1])) << lines[1];
  // The result file exists before the command runs, with its one header.
  EXPECT_EQ(ReadFile(dir_.File("result.csv")), kHeader);
  Release("first", *first);
}

// How a launch ends when it cannot or need not go on.
struct EndCase {
  const char* name;
  std::string arguments;
  std::vector<std::string> environment;
  int exitCode;
  std::string firstLine;  // "": nothing is printed
};

void PrintTo(const EndCase& check, std::ostream* out) { *out << check.name; }

const EndCase kEndCases[] = {
    {"CommandsOwnCode", "-- sh -c 'exit 3'", {}, 3, ""},
    {"CommandEndedBySignal", "-- sh -c 'kill -KILL $$'", {}, 128 + SIGKILL, ""},
    {"CommandNotFound",
     "-- /nonexistent/program",
     {},
     127,
     "ostrivel-slot: cannot run \"/nonexistent/program\": No such file or "
     "directory"},
    {"CommandNotExecutable",
     "-- /dev/null",
     {},
     126,
     "ostrivel-slot: cannot run \"/dev/null\": Permission denied"},
    {"NoCommand", "--wait 1", {}, 125, "ostrivel-slot: no command given"},
    {"BadWait",
     "--wait soon -- true",
     {},
     125,
     "ostrivel-slot: --wait: must be a number of seconds, 0 or more, not "
     "\"soon\""},
    {"BadWaitVariable",
     "-- true",
     {"OSTRIVEL_SLOT_WAIT=-1"},
     125,
     "ostrivel-slot: OSTRIVEL_SLOT_WAIT: must be a number of seconds, 0 or "
     "more, not \"-1\""},
    {"NoPortsFile",
     "-- true",
     {"OSTRIVEL_SLOTS="},
     125,
     "ostrivel-slot: no ports file given (--ports-file FILE or "
     "OSTRIVEL_SLOTS)"},
    {"UnreadablePortsFile",
     "--ports-file /nonexistent/ports -- true",
     {},
     125,
     "ostrivel-slot: cannot read the ports file \"/nonexistent/ports\""},
    {"NoConfiguration",
     "-- true",
     {"OSTRIVEL_CONFIG="},
     125,
     "ostrivel-slot: no configuration file given (set OSTRIVEL_CONFIG)"},
    {"UnreadableConfiguration",
     "-- true",
     {"OSTRIVEL_CONFIG=/nonexistent/ostrivel.conf"},
     125,
     "ostrivel-slot: cannot read the configuration file "
     "\"/nonexistent/ostrivel.conf\""},
};

class SlotEndTest : public SlotTest,
                    public ::testing::WithParamInterface<EndCase> {};

TEST_P(SlotEndTest, EndsWithItsExitCodeAndOneLine) {
  const EndCase& check = GetParam();
  CommandResult result = Run(check.arguments, check.environment);
  EXPECT_EQ(result.exitCode, check.exitCode) << result.output;
  std::vector<std::string> lines = testing::SplitLines(result.output);
  if (check.firstLine.empty()) {
    EXPECT_THAT(lines, ElementsAre()) << result.output;
  } else {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], check.firstLine);
  }
}

INSTANTIATE_TEST_SUITE_P(Launches, SlotEndTest, ::testing::ValuesIn(kEndCases),
                         [](const auto& test) {
                           return std::string(test.param.name);
                         });

TEST_F(SlotTest, WaitsWhileEverySlotIsTakenAndRunsOnTheOneFreed) {
  auto first = Hold("first");
  auto second = Hold("second");
  std::set<std::string> taken = {Started("first"), Started("second")};
  EXPECT_EQ(taken, (std::set<std::string>{"0\n", "1\n"}));

  auto third = Hold("third");
  EXPECT_EQ(third->ReadLine(), WaitingLine("600"));
  EXPECT_FALSE(FileExists(dir_.File("third.started")));
  std::string freed = Started("second");
  Release("second", *second);
  EXPECT_EQ(Started("third"), freed);
  Release("third", *third);
  Release("first", *first);
}

TEST_F(SlotTest, GivesUpWithoutRunningTheCommandWhenNoSlotFreesInTime) {
  auto first = Hold("first");
  auto second = Hold("second");
  Started("first");
  Started("second");
  CommandResult late = Run("--wait 0.3 -- touch " + dir_.File("ran"));
  EXPECT_EQ(late.exitCode, 124);
  EXPECT_THAT(testing::SplitLines(late.output),
              ElementsAre(WaitingLine("0.3"),
                          "ostrivel-slot: no slot of \"" + ports_ +
                              "\" became free within 0.3 s; the command was "
                              "not run"));
  EXPECT_FALSE(FileExists(dir_.File("ran")));
  Release("first", *first);
  Release("second", *second);
}

// Whether the process "pid" has ended (gone, or a zombie).
bool Ended(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  std::getline(stat, text);
  std::size_t close = text.rfind(')');
  return !stat || close == std::string::npos ||
         text.substr(close + 2, 1) == "Z";
}

TEST_F(SlotTest, AKilledLauncherEndsItsCommandAndLeavesItsSlotFree) {
  WriteFile(ports_, "0 127.0.0.1 40001\n");
  auto first = Hold("first");
  Started("first");
  std::string pid = testing::SplitLines(ReadFile(dir_.File("first.pid"))).at(0);
  first->Signal(SIGKILL);
  first->Wait();
  bool ended = false;
  for (int i = 0; i < 400 && !(ended = Ended(pid)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(ended) << "the command of the killed launcher still runs";
  CommandResult next = Run("--wait 0 -- true");
  EXPECT_EQ(next.exitCode, 0) << next.output;
}

TEST_F(SlotTest, PassesInterruptTerminateAndHangUpToTheCommand) {
  WriteFile(dir_.File("trap.sh"),
            "#!/bin/sh\n"
            "trap 'echo got > \"$0.trapped\"; exit 7' INT TERM HUP\n"
            "touch \"$0.started\"\n"
            "i=0\n"
            "while [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n");
  std::filesystem::permissions(dir_.File("trap.sh"),
                               std::filesystem::perms::owner_all);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(dir_.File("trap.sh.started"));
    std::filesystem::remove(dir_.File("trap.sh.trapped"));
    ChildProcess launcher;
    ASSERT_TRUE(launcher.Start({OSTRIVEL_SLOT_PATH, "--", dir_.File("trap.sh")},
                               Environment()));
    ASSERT_TRUE(WaitForFile(dir_.File("trap.sh.started")));
    launcher.Signal(signal);
    std::optional<int> status = launcher.Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(tools::testing::ExitCode(*status), 7);
    EXPECT_TRUE(FileExists(dir_.File("trap.sh.trapped")));
  }
}

// The fields of the lines of a trace file after its header.
std::vector<std::vector<std::string>> TraceLines(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> lines = testing::SplitLines(ReadFile(path));
  for (std::size_t i = 1; i < lines.size(); ++i) {
    rows.push_back(testing::SplitFields(lines[i]));
  }
  return rows;
}

// The functions a trace file shows as called, with their counts.
std::vector<std::string> CalledIn(const std::string& path) {
  std::vector<std::string> called;
  for (const auto& fields : TraceLines(path)) {
    if (fields.size() >= 2 && fields.back() != "0") {
      called.push_back(fields[1] + " " + fields.back());
    }
  }
  return called;
}

TEST(SlotCtestTest, OverlappingShardsEachCountOnlyTheirOwnCalls) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("methods"));
  std::filesystem::create_directories(dir.File("traces"));
  std::filesystem::create_directories(dir.File("barrier"));
  std::filesystem::create_directories(dir.File("ctest"));
  CommandOptions quick;
  quick.timeoutMs = 60000;
  std::string list = dir.File("methods/slot_sample.csv");
  CommandResult methods =
      RunCommand(std::string(OSTRIVEL_METHODS_PATH) + " --route gcc --binary " +
                     OSTRIVEL_SLOT_SAMPLE +
                     " --application slot_sample --include "
                     "'^sample::' --output " +
                     list,
                 quick);
  ASSERT_EQ(methods.exitCode, 0) << methods.output;
  std::string channel = tools::testing::UniqueChannel("slots-ctest");
  std::string ports = dir.File("ports");
  tools::testing::StartedService service(
      OSTRIVEL_SERVICE_PATH, dir.File("methods"), channel,
      dir.File("service.log"), {"--slots", "2", "--ports-file", ports});
  ASSERT_TRUE(service.ok()) << service.startOutput();
  WriteFile(dir.File("ostrivel.conf"),
            "base_location: " + dir.File("traces/") +
                "\nlog_location: " + dir.File("log.txt") +
                "\nres_location: " + dir.File("result.csv") +
                "\nmethods_location: " + dir.File("methods/") + "\n");

  // Two shards of the program, which ctest -j2 starts at once; each test
  // waits for the other's, so they can only pass side by side.
  std::string tests;
  for (int shard = 0; shard < 2; ++shard) {
    std::string name = "shard" + std::to_string(shard);
    tests += "add_test(" + name + " \"" + OSTRIVEL_SLOT_SAMPLE + "\")\n" +
             "set_tests_properties(" + name +
             " PROPERTIES TIMEOUT 60 ENVIRONMENT "
             "\"GTEST_TOTAL_SHARDS=2;GTEST_SHARD_INDEX=" +
             std::to_string(shard) + "\")\n";
  }
  WriteFile(dir.File("ctest/CTestTestfile.cmake"), tests);
  CommandOptions options;
  options.timeoutMs = 120000;
  options.environment = {{"OSTRIVEL_SLOTS", ports},
                         {"OSTRIVEL_CONFIG", dir.File("ostrivel.conf")},
                         {"OSTRIVEL_LIBRARY", OSTRIVEL_LIBRARY_PATH},
                         {"OSTRIVEL_METHOD_LIST", list},
                         {"OSTRIVEL_CHANNEL", channel},
                         {"OSTRIVEL_REQUIRE_COVERAGE", "1"},
                         {"SLOT_SAMPLE_BARRIER", dir.File("barrier")}};
  CommandResult run =
      RunCommand(std::string(OSTRIVEL_CTEST_PATH) +
                     " --output-on-failure -j2 --test-dir " + dir.File("ctest"),
                 options);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::vector<std::string> result =
      testing::SplitLines(ReadFile(dir.File("result.csv")));
  ASSERT_EQ(result.size(), 3u) << ReadFile(dir.File("result.csv"));
  EXPECT_EQ(result[0] + "\r\n", kHeader);
  std::set<std::string> rows;
  for (std::size_t i = 1; i < result.size(); ++i) {
    rows.insert(
        result[i].substr(0, result[i].find(';', result[i].find(';') + 1)));
  }
  EXPECT_EQ(rows, (std::set<std::string>{"Left.CallsLeftOnly;slot_sample",
                                         "Right.CallsRightOnly;slot_sample"}));
  EXPECT_THAT(
      CalledIn(dir.File("traces/Left.CallsLeftOnly_slot_sample_trace.csv")),
      ElementsAre("Left(int) 2", "LeftTwice(int) 1"));
  EXPECT_THAT(
      CalledIn(dir.File("traces/Right.CallsRightOnly_slot_sample_trace.csv")),
      ElementsAre("Right(int) 2", "RightTwice(int) 1"));
  // Each slot's library logged into a file of its own.
  EXPECT_TRUE(FileExists(dir.File("log.slot0.txt")));
  EXPECT_TRUE(FileExists(dir.File("log.slot1.txt")));
  EXPECT_FALSE(FileExists(dir.File("log.txt")));
}

}  // namespace
}  // namespace ostrivel::slots
