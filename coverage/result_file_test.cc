#include "coverage/result_file.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "harness/state.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::coverage {
namespace {

using ::ostrivel::testing::CapturedOutput;
using ::ostrivel::testing::FileExists;
using ::ostrivel::testing::ReadFile;
using ::ostrivel::testing::TempDir;
using ::ostrivel::testing::TestEnvironment;
using ::ostrivel::testing::WriteFile;

const std::string kHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\r\n";

TEST(FormatNumberTest, MatchesTheStreamDefault) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double kNan = std::nan("");
  for (double value : {0.0, -0.0, 50.0, 100.0 / 3, 1500.0, 999999.0, 999999.5,
                       1234567.0, 2e6, 1e-4, 1e-5, 0.000123456789, -4.0,
                       1.39937e12, 1e300, 5e-324, kInf, -kInf, kNan}) {
    std::ostringstream ss;
    ss << value;
    EXPECT_EQ(FormatNumber(value), ss.str());
  }
  EXPECT_EQ(FormatNumber(50), "50");
  EXPECT_EQ(FormatNumber(100.0 / 3), "33.3333");
  EXPECT_EQ(FormatNumber(1234567), "1.23457e+06");
  EXPECT_EQ(FormatNumber(2e6), "2e+06");
  EXPECT_EQ(FormatNumber(kNan), "nan");
  // The same text on every platform; MinGW's stream drops the sign here.
  EXPECT_EQ(FormatNumber(-kNan), "-nan");
}

class ResultFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("result.csv");
  bool exists_ = false;
  ResultFile file_{path_, &exists_};
};

TEST_F(ResultFileTest, MissingFileGetsTheHeaderOnce) {
  file_.Write("a;");
  EXPECT_FALSE(exists_);  // the probe came before the file was created
  file_.WriteNumber(1500);
  EXPECT_TRUE(exists_);
  file_.Write("\n");
  EXPECT_EQ(ReadFile(path_), kHeader + "a;1500\r\n");
}

TEST_F(ResultFileTest, ExistingFileIsOnlyAppendedTo) {
  WriteFile(path_, "old\r\n");
  file_.Write("row\n");
  EXPECT_EQ(ReadFile(path_), "old\r\nrow\r\n");
}

TEST_F(ResultFileTest, HeaderFollowsTheProbeNotTheFile) {
  // Once the flag is set nothing probes, even if the file went away.
  exists_ = true;
  file_.Write("x;");
  EXPECT_EQ(ReadFile(path_), "x;");
  // Cleared and deleted between two tests: the next row gets a new header.
  std::filesystem::remove(path_);
  exists_ = false;
  file_.Write("y\n");
  EXPECT_EQ(ReadFile(path_), kHeader + "y\r\n");
}

TEST(ResultFileErrorTest, UnopenableFileIsReportedForEveryPiece) {
  TestEnvironment env(1);
  CapturedOutput output;
  auto& state = harness::State();
  state.settings.res_location = env.dir().File("missing/result.csv");
  WriteResult("a;");
  WriteResultNumber(4);
  EXPECT_FALSE(state.collector.resultFileExists);
  EXPECT_FALSE(FileExists(env.dir().File("missing")));
  EXPECT_EQ(output.errors(),
            "Unable to open result-file!\nUnable to open result-file!\n");
  EXPECT_EQ(env.LogLines(),
            (std::vector<std::string>{"ERROR|Unable to open result-file!",
                                      "ERROR|Unable to open result-file!"}));
}

TEST(ResultFileErrorTest, ProcessWideFormsUseResLocationAndTheFlag) {
  TestEnvironment env;
  WriteResult("Login;");
  WriteResultNumber(100.0 / 3);
  EXPECT_TRUE(harness::State().collector.resultFileExists);
  EXPECT_EQ(ReadFile(env.resultPath()), kHeader + "Login;33.3333");
}

}  // namespace
}  // namespace ostrivel::coverage
