// Loads the built library the way a harness does and points its files at
// things that are not plain files: FIFOs, a directory, the full and the null
// device. Nothing may wait on another process, every failure must be
// reported in its own words, and the run must go on with what is left. A
// configuration file of millions of lines must not cost memory by its size.

#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/loopback_service.h"
#include "testing/temp_dir.h"
#include "tests/loaded_library.h"

namespace {

using ostrivel::testing::HttpAnswer;
using ostrivel::testing::LoopbackService;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WorkingDirectory;
using ostrivel::testing::WriteFile;
using ::testing::Contains;

constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kShopBody =
    R"({"timestamp":"2014.05.06 12:34:57.500","data":{"Shop":[3,0,1,0]}})";
constexpr const char* kRow = "Login;Shop;4;50;1500;0 2;1 3\r\n";

enum class Target { kConfiguration, kLog, kResult, kMethodList, kTrace };
enum class Thing { kFifo, kDirectory, kFullDevice, kNullDevice };

struct HostileFileCase {
  std::string name;
  Target target;
  Thing thing;
  // What goes to standard error "times" times (0: once or more, once for
  // each log line); nothing when empty.
  std::string error;
  int times;
  // A line the log must hold ("LEVEL|message"), if any; "<dir>" stands for
  // the test's directory.
  std::string logLine;
  // Whether the test's row reaches the result file.
  bool rowWritten;
};

void PrintTo(const HostileFileCase& each, std::ostream* out) {
  *out << each.name;
}

class HostileFileTest : public ::testing::TestWithParam<HostileFileCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.loaded()) << dlerror(); }

  // The path of "thing" as "target", made in the test's directory where it
  // must be.
  std::string Make(Thing thing, Target target) {
    switch (thing) {
      case Thing::kFifo: {
        std::string path = dir_.File(
            target == Target::kMethodList ? "methods/fifo.csv" : "fifo");
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return path;
      }
      case Thing::kDirectory:
        return dir_.File("methods");
      case Thing::kFullDevice:
        return "/dev/full";
      case Thing::kNullDevice:
        return "/dev/null";
    }
    return std::string();
  }

  TempDir dir_;
  ostrivel::testing::LoadedLibrary library_;
};

TEST_P(HostileFileTest, NothingWaitsAndTheFailureIsReported) {
  const HostileFileCase& param = GetParam();
  std::filesystem::create_directory(dir_.File("methods"));
  WriteFile(dir_.File("methods/shop.csv"),
            "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
  // A library that waits on a FIFO holds the test until CTest's time limit.
  const std::string hostile = Make(param.thing, param.target);
  if (param.target == Target::kTrace) {
    std::filesystem::create_symlink(hostile, dir_.File("Login_Shop_trace.csv"));
  }

  LoopbackService service;
  service.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
  const std::string log = dir_.File("log.txt");
  const std::string result = dir_.File("result.csv");
  WriteFile(dir_.File("config.txt"),
            "log_location: " + (param.target == Target::kLog ? hostile : log) +
                "\nres_location: " +
                (param.target == Target::kResult ? hostile : result) +
                "\nbase_location: " + dir_.path() +
                "\nmethods_location: " + dir_.File("methods/") +
                "\nport: " + std::to_string(service.port()) + "\n");

  ::testing::internal::CaptureStderr();
  if (param.target == Target::kConfiguration) {
    // The defaults lie under "C:/Coverage/", relative to this directory.
    std::filesystem::create_directories(dir_.File("C:/Coverage/methods"));
    WorkingDirectory cwd(dir_.path());
    EXPECT_TRUE(library_.Init(hostile.c_str()));
  } else {
    EXPECT_TRUE(library_.Init(dir_.File("config.txt").c_str()));
    EXPECT_TRUE(library_.Open());
    EXPECT_TRUE(library_.SetTestName("Login"));
    EXPECT_TRUE(library_.StartNewTestCase());
    EXPECT_TRUE(library_.GetCollectedInformation());
    EXPECT_TRUE(library_.Close());
  }
  const std::string errors = ::testing::internal::GetCapturedStderr();

  if (param.error.empty()) {
    EXPECT_EQ(errors, "");
  } else {
    std::size_t times = errors.size() / param.error.size();
    if (param.times != 0) {
      EXPECT_EQ(times, static_cast<std::size_t>(param.times)) << errors;
    }
    EXPECT_GT(times, 0u);
    std::string repeated;
    for (std::size_t i = 0; i < times; ++i) repeated += param.error;
    EXPECT_EQ(errors, repeated);
  }
  if (!param.logLine.empty()) {
    std::string line = param.logLine;
    if (std::size_t at = line.find("<dir>"); at != std::string::npos) {
      line.replace(at, 5, dir_.path());
    }
    EXPECT_THAT(ostrivel::testing::ReadLogLines(log), Contains(line));
  }
  EXPECT_EQ(ReadFile(result).find(kRow) != std::string::npos, param.rowWritten);
}

constexpr const char* kConfigurationWarning =
    "Configuration: Unable to open config-file!\n"
    "Default configurations used.\n";

INSTANTIATE_TEST_SUITE_P(
    Files, HostileFileTest,
    ::testing::Values(
        HostileFileCase{"ConfigurationIsAFifo", Target::kConfiguration,
                        Thing::kFifo, kConfigurationWarning, 1, "", false},
        HostileFileCase{"ConfigurationIsADirectory", Target::kConfiguration,
                        Thing::kDirectory, kConfigurationWarning, 1, "", false},
        HostileFileCase{"LogIsAFifo", Target::kLog, Thing::kFifo,
                        "Unable to open log-file!\n", 0, "", true},
        HostileFileCase{"ResultIsAFifo", Target::kResult, Thing::kFifo,
                        "Unable to open result-file!\n", 1,
                        "ERROR|Unable to open result-file!", false},
        HostileFileCase{
            "MethodListIsAFifo", Target::kMethodList, Thing::kFifo, "", 0,
            "ERROR|\"<dir>methods/fifo.csv\" can't be opened!", true},
        HostileFileCase{"LogIsTheFullDevice", Target::kLog, Thing::kFullDevice,
                        "Unable to write log-file!\n", 0, "", true},
        HostileFileCase{"ResultIsTheFullDevice", Target::kResult,
                        Thing::kFullDevice, "Unable to write result-file!\n", 1,
                        "ERROR|Unable to write result-file!", false},
        HostileFileCase{"TraceIsTheFullDevice", Target::kTrace,
                        Thing::kFullDevice, "Unable to write trace-file!\n", 1,
                        "ERROR|Unable to write trace-file! (Path: "
                        "\"<dir>Login_Shop_trace.csv\")",
                        true},
        HostileFileCase{"LogIsTheNullDevice", Target::kLog, Thing::kNullDevice,
                        "", 0, "", true}),
    [](const auto& each) { return each.param.name; });

TEST(LargeConfigurationTest, IsAppliedLineByLineInBoundedMemory) {
  ostrivel::testing::LoadedLibrary library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  TempDir dir;
  std::filesystem::create_directory(dir.File("methods"));
  // Eight million blank lines: a reader that kept them before applying any
  // would hold hundreds of megabytes.
  std::string bytes = "log_location: " + dir.File("log.txt") +
                      "\nmethods_location: " + dir.File("methods/") + "\n";
  bytes.append(std::size_t{8} << 20, '\n');
  bytes += "log_level: error\n";
  WriteFile(dir.File("config.txt"), bytes);
  bytes = std::string();

  const std::size_t before = ostrivel::testing::PeakResidentBytes();
  ASSERT_GT(before, 0u);
  EXPECT_TRUE(library.Init(dir.File("config.txt").c_str()));
  EXPECT_LT(ostrivel::testing::PeakResidentBytes() - before,
            std::size_t{32} << 20);
  // The line behind the blanks took effect: "Device open." is below the
  // threshold.
  EXPECT_TRUE(library.Open());
  EXPECT_EQ(ReadFile(dir.File("log.txt")), "<missing>");
}

}  // namespace
