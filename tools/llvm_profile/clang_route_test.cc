// The clang route end to end: a program built with clang 14's
// -fprofile-instr-generate for continuous mode (and with the entry-counter
// plugin where it was built), its method list from ostrivel-methods, a
// started ostrivel-service and the real library. The counts of every test
// must equal llvm-profdata's function counts for the same runs of the
// program built with -fprofile-instr-generate alone, inlined functions
// included.

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tests/loaded_library.h"
#include "tools/llvm_profile/profile_files.h"
#include "tools/llvm_profile/raw_profile.h"
#include "tools/process/child_process.h"

namespace ostrivel::llvm_profile {
namespace {

using ostrivel::testing::LoadedLibrary;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::HasSubstr;
using tools::testing::ChildProcess;
using tools::testing::StartedService;
using tools::testing::UniqueChannel;

constexpr const char* kApplication = "Route";
constexpr int kCommandLimitMs = 60000;

// The clang 14 flags of the route.
constexpr const char* kRouteFlags =
    " -O2 -fprofile-instr-generate -mllvm -runtime-counter-relocation";
// Clang's own counting, for reference.
constexpr const char* kReferenceFlags = " -O2 -fprofile-instr-generate";

std::string PluginFlag() {
  std::string plugin = OSTRIVEL_ENTRY_COUNTERS_PLUGIN;
  return plugin.empty() ? std::string() : " -fpass-plugin='" + plugin + "'";
}

process::CommandResult RunShell(const std::string& command) {
  process::CommandOptions options;
  options.timeoutMs = kCommandLimitMs;
  return process::RunCommand(command, options);
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Why the route cannot be tried on this machine; empty when it can.
const std::string& ClangMissing() {
  static const std::string reason = [] {
    std::string clang = OSTRIVEL_CLANG14_PATH;
    std::string profdata = OSTRIVEL_LLVM_PROFDATA14_PATH;
    if (clang.empty()) return std::string("clang-14 is not installed");
    if (profdata.empty()) {
      return std::string("llvm-profdata-14 is not installed");
    }
    TempDir dir;
    WriteFile(dir.File("probe.c"), "int main(void) { return 0; }\n");
    process::CommandResult result =
        RunShell(Quote(clang) + kRouteFlags + " " + Quote(dir.File("probe.c")) +
                 " -o " + Quote(dir.File("probe")));
    if (!result.Passed()) {
      return "clang-14 cannot link -fprofile-instr-generate (is "
             "libclang-rt-14-dev installed?): " +
             result.output;
    }
    return std::string();
  }();
  return reason;
}

bool ClangRequired() {
  const char* value = std::getenv("OSTRIVEL_REQUIRE_CLANG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// Function counts by method-list ID ("llvm:<hash>"), as llvm-profdata
// reads the raw profiles "files" (separated by blanks, quoted).
std::map<std::string, std::uint64_t> ProfdataCounts(
    const std::string& files, const std::string& scratch) {
  std::string merged = scratch + "/merged.profdata";
  std::string profdata = OSTRIVEL_LLVM_PROFDATA14_PATH;
  process::CommandResult merge =
      RunShell(Quote(profdata) + " merge -o " + Quote(merged) + files);
  EXPECT_TRUE(merge.Passed()) << merge.Describe() << merge.output;
  process::CommandResult show =
      RunShell(Quote(profdata) + " show --all-functions --counts " +
               Quote(merged) + " 2>/dev/null");
  EXPECT_TRUE(show.Passed()) << show.Describe();
  std::map<std::string, std::uint64_t> counts;
  std::istringstream lines(show.output);
  std::string line;
  std::optional<std::string> function;
  static const std::regex kFunction("^  (\\S.*):$");
  static const std::regex kCount("^    Function count: ([0-9]+)$");
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, kFunction)) {
      function = match[1];
    } else if (function && std::regex_match(line, match, kCount)) {
      counts[MethodLineId(NameRef(*function))] = std::stoull(match[1]);
      function.reset();
    }
  }
  return counts;
}

class ClangRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ClangMissing().empty()) {
      if (ClangRequired()) FAIL() << ClangMissing();
      GTEST_SKIP() << ClangMissing();
    }
    ASSERT_TRUE(library_.loaded()) << library_.error();
    process::CommandResult build = RunShell(
        Quote(OSTRIVEL_CLANG14_PATH) + kRouteFlags + PluginFlag() + " " +
        Quote(OSTRIVEL_ROUTE_PROGRAM_SOURCE) + " -o " + Quote(program_));
    ASSERT_TRUE(build.Passed()) << build.Describe() << build.output;
    std::filesystem::create_directory(dir_.File("methods"));
    process::CommandResult list = RunShell(
        Quote(OSTRIVEL_METHODS_PATH) + " --binary " + Quote(program_) +
        " --application " + kApplication + " --output " +
        Quote(dir_.File("methods/route.csv")) + " --channel " + channel_);
    ASSERT_TRUE(list.Passed()) << list.Describe() << list.output;
    ASSERT_THAT(
        list.output,
        HasSubstr("run the program with LLVM_PROFILE_FILE=" + pattern_ + "\n"));
    StartService();
  }

  void StartService() {
    service_.emplace(OSTRIVEL_SERVICE_PATH, dir_.File("methods"), channel_,
                     dir_.File("service.log"));
    ASSERT_TRUE(service_->ok()) << service_->startOutput();
    WriteFile(dir_.File("config.txt"),
              "log_location: " + dir_.File("log.txt") +
                  "\nres_location: " + dir_.File("result.csv") +
                  "\nbase_location: " + dir_.File("") +
                  "\nmethods_location: " + dir_.File("methods/") +
                  "\nport: " + std::to_string(service_->port()) + "\n");
    ASSERT_TRUE(library_.Init(dir_.File("config.txt").c_str()));
    ASSERT_TRUE(library_.Open());
  }

  void TearDown() override {
    if (library_.loaded()) library_.Close();
  }

  void StartTest(const std::string& name) {
    ASSERT_TRUE(library_.SetTestName(name.c_str()));
    ASSERT_TRUE(library_.StartNewTestCase());
  }

  void RunProgram(const std::string& rounds) {
    ChildProcess child;
    ASSERT_TRUE(
        child.Start({program_, rounds}, {"LLVM_PROFILE_FILE=" + pattern_}));
    while (child.ReadLine()) {
    }
    ASSERT_EQ(tools::testing::ExitCode(child.Wait().value_or(-1)), 0);
  }

  // The counts of the test's trace file by method-list ID; methods not
  // called are absent, as in the file.
  std::map<std::string, std::uint64_t> TraceCounts(const std::string& test) {
    std::map<std::string, std::uint64_t> counts;
    std::istringstream lines(
        ReadFile(dir_.File(test + "_" + kApplication + "_trace.csv")));
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      std::size_t idEnd = line.find(';');
      std::size_t countStart = line.rfind(';');
      if (idEnd == std::string::npos) continue;
      counts[line.substr(0, idEnd)] = std::stoull(line.substr(countStart + 1));
    }
    return counts;
  }

  // The test's counts equal llvm-profdata's function counts of the
  // program built with clang's own counting, run once per element of
  // "runs" with those arguments, and of the test's own raw profiles: every
  // function with a count of 0 there is absent from the trace file, every
  // other has the same count.
  void ExpectCountsOfClang(const std::string& test,
                           const std::vector<std::string>& runs) {
    std::string reference = dir_.File("reference_program");
    if (!std::filesystem::exists(reference)) {
      process::CommandResult build = RunShell(
          Quote(OSTRIVEL_CLANG14_PATH) + kReferenceFlags + " " +
          Quote(OSTRIVEL_ROUTE_PROGRAM_SOURCE) + " -o " + Quote(reference));
      ASSERT_TRUE(build.Passed()) << build.Describe() << build.output;
    }
    std::string files;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::string profile =
          dir_.File(test + "." + std::to_string(i) + ".profraw");
      process::CommandResult run =
          RunShell("LLVM_PROFILE_FILE=" + Quote(profile) + " " +
                   Quote(reference) + " " + runs[i] + " >/dev/null");
      ASSERT_TRUE(run.Passed()) << run.Describe() << run.output;
      files += " " + Quote(profile);
    }
    std::map<std::string, std::uint64_t> expected =
        ProfdataCounts(files, dir_.path());
    ASSERT_FALSE(expected.empty());
    std::map<std::string, std::uint64_t> called;
    for (const auto& [id, count] : expected) {
      if (count > 0) called[id] = count;
    }
    EXPECT_EQ(TraceCounts(test), called);
    // The same runs' own raw profiles, which the service read, say the
    // same.
    std::string ownFiles;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      ownFiles += " " + Quote(entry.path().string());
    }
    std::map<std::string, std::uint64_t> own =
        ProfdataCounts(ownFiles, dir_.path());
    std::erase_if(own, [](const auto& entry) { return entry.second == 0; });
    EXPECT_EQ(own, called);
  }

  std::uint64_t EvaluateCount(const std::string& test) {
    return TraceCounts(test)[MethodLineId(NameRef("Evaluate"))];
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel("clang");
  std::string program_ = dir_.File("route_program");
  std::string directory_ = ProfileDirectoryPath(channel_, kApplication);
  std::string pattern_ = ProfileFilePattern(directory_);
  std::optional<StartedService> service_;
  LoadedLibrary library_;
};

TEST_F(ClangRouteTest, ListsEveryInstrumentedFunctionInlinedOnesIncluded) {
  std::string list = ReadFile(dir_.File("methods/route.csv"));
  // Digit, Twice, Number and Term are inlined at -O2 and have no symbol.
  for (const char* name : {"Digit", "Twice", "Number", "Term", "Sum",
                           "Evaluate", "Unused", "main"}) {
    EXPECT_THAT(list, HasSubstr(";" + std::string(name) + ";\n")) << name;
  }
  EXPECT_EQ(list.substr(0, list.find('\n')),
            std::string("ProjectName;") + kApplication);
}

TEST_F(ClangRouteTest, EachTestsCountsEqualClangsOwnFunctionCounts) {
  StartTest("First");
  RunProgram("7");
  RunProgram("3");
  ASSERT_TRUE(library_.GetCollectedInformation());
  ExpectCountsOfClang("First", {"7", "3"});
  EXPECT_EQ(EvaluateCount("First"), 10u);

  // NEWTC drops the profiles of the processes that ended, so the next test
  // counts only its own calls.
  StartTest("Second");
  EXPECT_TRUE(std::filesystem::is_empty(directory_));
  RunProgram("2");
  ASSERT_TRUE(library_.GetCollectedInformation());
  ExpectCountsOfClang("Second", {"2"});
  EXPECT_EQ(EvaluateCount("Second"), 2u);
}

// A process is counted up to the moment of ASK, whether it still runs or
// was killed before, without any flush.
class ClangRouteProcessTest : public ClangRouteTest,
                              public ::testing::WithParamInterface<bool> {};

TEST_P(ClangRouteProcessTest, IsCountedUpToAsk) {
  bool kill = GetParam();
  ChildProcess child;
  ASSERT_TRUE(
      child.Start({program_, "5", "wait"}, {"LLVM_PROFILE_FILE=" + pattern_}));
  // A process that started before the test and counted then: NEWTC zeroes
  // its counts, and the calls after it are the test's.
  ASSERT_EQ(child.ReadLine(), "205");
  ASSERT_EQ(child.ReadLine(), "ready");
  StartTest("Early");
  ChildProcess late;
  ASSERT_TRUE(
      late.Start({program_, "4", "wait"}, {"LLVM_PROFILE_FILE=" + pattern_}));
  ASSERT_EQ(late.ReadLine(), "164");
  ASSERT_EQ(late.ReadLine(), "ready");
  if (kill) {
    late.Signal(SIGKILL);
    std::optional<int> status = late.Wait();
    ASSERT_TRUE(status.has_value());
    ASSERT_EQ(process::TerminatingSignal(*status), SIGKILL);
  }
  ASSERT_TRUE(library_.GetCollectedInformation());
  EXPECT_EQ(EvaluateCount("Early"), 4u);
  EXPECT_EQ(TraceCounts("Early")[MethodLineId(NameRef("main"))], 1u);
}

INSTANTIATE_TEST_SUITE_P(KilledOrRunning, ClangRouteProcessTest,
                         ::testing::Bool());

// A raw profile the service cannot read is left out with one line in its
// log, never misread; the files it can read still count.
struct UnreadableProfile {
  const char* name;
  std::uint64_t magic;
  std::uint64_t version;
  const char* message;  // after the quoted path
};

class UnreadableProfileTest
    : public ::testing::TestWithParam<UnreadableProfile> {
 protected:
  // Starts a service for the application "Route", whose list (as
  // ostrivel-methods writes it for the clang route) names "main"; returns
  // the folder its programs' raw profiles go to.
  std::string StartService() {
    std::filesystem::create_directory(dir_.File("methods"));
    WriteFile(
        dir_.File("methods/route.csv"),
        "ProjectName;Route\n" + MethodLineId(NameRef("main")) + ";main;\n");
    service_.emplace(OSTRIVEL_SERVICE_PATH, dir_.File("methods"), channel_,
                     dir_.File("service.log"));
    EXPECT_TRUE(service_->ok()) << service_->startOutput();
    return ProfileDirectoryPath(channel_, "Route");
  }

  // The body of the service's answer to ASK.
  std::string Ask() {
    tools::testing::HttpClient client;
    auto port = static_cast<std::uint16_t>(service_->port());
    EXPECT_TRUE(client.Connect(port));
    EXPECT_TRUE(client.Send(tools::testing::ActionRequest(port, "ASK")));
    std::optional<tools::testing::HttpAnswer> answer = client.Receive();
    return answer ? answer->body : "<no answer>";
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel("profiles");
  std::optional<StartedService> service_;
};

std::string RawHeader(std::uint64_t magic, std::uint64_t version) {
  std::uint64_t words[11] = {magic, version};
  return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

TEST_P(UnreadableProfileTest, IsLeftOutWithALogLine) {
  std::string path = StartService() + "/123.profraw";
  if (HasFailure()) return;
  WriteFile(path, RawHeader(GetParam().magic, GetParam().version) +
                      std::string(4096, '\0'));

  EXPECT_THAT(Ask(), HasSubstr(R"("data":{"Route":[0]})"));
  EXPECT_THAT(ReadFile(dir_.File("service.log")),
              HasSubstr(" error profile file \"" + path + "\" " +
                        GetParam().message + "; its counts are left out\n"));
}

// A raw profile of one function, as clang 14 lays it out: the header, one
// record and its one counter.
std::string OneFunctionProfile(std::string_view name, std::uint64_t count) {
  std::uint64_t header[11] = {kRawMagic64, kRawVersion,    0, 1, 0, 1, 0,
                              0,           kDataRecordSize};
  std::uint64_t record[6] = {NameRef(name), 24, kDataRecordSize, 0, 0, 1};
  return std::string(reinterpret_cast<const char*>(header), sizeof header) +
         std::string(reinterpret_cast<const char*>(record), sizeof record) +
         std::string(reinterpret_cast<const char*>(&count), sizeof count);
}

TEST_F(UnreadableProfileTest, AProfileOfAnotherProgramCountsNothing) {
  std::string directory = StartService();
  if (HasFailure()) return;
  WriteFile(directory + "/1.profraw", OneFunctionProfile("main", 5));
  WriteFile(directory + "/2.profraw", OneFunctionProfile("other", 7));

  EXPECT_THAT(Ask(), HasSubstr(R"("data":{"Route":[5]})"));
  EXPECT_THAT(ReadFile(dir_.File("service.log")),
              HasSubstr(" error profile file \"" + directory +
                        "/2.profraw\": 1 of the 1 listed functions are not in "
                        "its program (another program, or a method list older "
                        "than the program); they count 0 from it\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, UnreadableProfileTest,
    ::testing::Values(
        UnreadableProfile{
            "NewerVersion", kRawMagic64, 9,
            "has raw profile version 9; only version 8 (clang 14 / LLVM 14) "
            "is read: build the program with clang 14"},
        UnreadableProfile{
            "OlderVersion", kRawMagic64, 7,
            "has raw profile version 7; only version 8 (clang 14 / LLVM 14) "
            "is read: build the program with clang 14"},
        UnreadableProfile{
            "IrLevel", kRawMagic64, kRawVersion | (1ULL << 56),
            "is no front-end profile with 64-bit counters (variant bits "
            "0x0100000000000000): build the program with "
            "-fprofile-instr-generate alone"},
        UnreadableProfile{
            "ByteCoverage", kRawMagic64, kRawVersion | (1ULL << 60),
            "is no front-end profile with 64-bit counters (variant bits "
            "0x1000000000000000): build the program with "
            "-fprofile-instr-generate alone"},
        UnreadableProfile{"ThirtyTwoBit", kRawMagic32, kRawVersion,
                          "is a raw profile of a 32-bit program; only 64-bit "
                          "programs' profiles are read"},
        UnreadableProfile{"NoProfile", 0x0a7373616c63ULL, kRawVersion,
                          "is no raw profile of clang (no profile magic "
                          "number)"}),
    [](const ::testing::TestParamInfo<UnreadableProfile>& param) {
      return std::string(param.param.name);
    });

}  // namespace
}  // namespace ostrivel::llvm_profile
