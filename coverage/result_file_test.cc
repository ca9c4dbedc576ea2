#include "coverage/result_file.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/operations.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::coverage {
namespace {

using ::ostrivel::testing::CapturedOutput;
using ::ostrivel::testing::FileExists;
using ::ostrivel::testing::ReadFile;
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
    EXPECT_EQ(formats::FormatNumber(value), ss.str());
  }
  EXPECT_EQ(formats::FormatNumber(50), "50");
  EXPECT_EQ(formats::FormatNumber(100.0 / 3), "33.3333");
  EXPECT_EQ(formats::FormatNumber(1234567), "1.23457e+06");
  EXPECT_EQ(formats::FormatNumber(2e6), "2e+06");
  EXPECT_EQ(formats::FormatNumber(kNan), "nan");
  // The same text on every platform; MinGW's stream drops the sign here.
  EXPECT_EQ(formats::FormatNumber(-kNan), "-nan");
}

class ResultFileTest : public ::testing::Test {
 protected:
  // Writes one row of "pieces" and returns whether it reached the file.
  bool Row(std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) file_.Write(piece);
    return file_.EndRow();
  }

  TestEnvironment env_;
  CapturedOutput output_;
  const std::string path_ = env_.resultPath();
  bool exists_ = false;
  bool lineOpen_ = false;
  ResultFile file_{path_, &exists_, &lineOpen_};
};

TEST_F(ResultFileTest, MissingFileGetsTheHeaderOnce) {
  EXPECT_TRUE(Row({"a;"}));
  EXPECT_FALSE(exists_);  // the probe came before the file was created
  file_.WriteNumber(1500);
  EXPECT_TRUE(file_.EndRow());
  EXPECT_TRUE(exists_);
  EXPECT_EQ(ReadFile(path_), kHeader + "a;\r\n1500\r\n");
}

TEST_F(ResultFileTest, ExistingFileIsOnlyAppendedTo) {
  WriteFile(path_, "old\r\n");
  Row({"row"});
  EXPECT_EQ(ReadFile(path_), "old\r\nrow\r\n");
}

TEST_F(ResultFileTest, HeaderFollowsTheProbeNotTheFile) {
  // Once the flag is set nothing probes, even if the file went away.
  exists_ = true;
  Row({"x"});
  EXPECT_EQ(ReadFile(path_), "x\r\n");
  // Cleared and deleted between two tests: the next row gets a new header.
  std::filesystem::remove(path_);
  exists_ = false;
  Row({"y"});
  EXPECT_EQ(ReadFile(path_), kHeader + "y\r\n");
}

// A row whose write or close fails, and the row after it.
struct FailedRowCase {
  std::string name;
  bool writeHalf;        // the write stops after half of the row
  bool otherWriter;      // another process appends right behind that half
  bool closeFails;       // the close reports an error
  std::string expected;  // the file after both rows
};

class FailedRowTest : public ResultFileTest,
                      public ::testing::WithParamInterface<FailedRowCase> {};

TEST_P(FailedRowTest, RowIsLostAndTheNextStartsOnItsOwnLine) {
  const FailedRowCase& param = GetParam();
  WriteFile(path_, "old\r\n");
  {
    // Only the lost row's write and close misbehave, not the log's.
    platform::Operations ops = platform::Current();
    platform::Operations real = ops;
    platform::File row = platform::kNoFile;
    ops.writeFile = [&](platform::File file, const char* data,
                        std::size_t size) {
      if (std::string_view(data, size).starts_with("lost")) row = file;
      if (file != row || !param.writeHalf) {
        return real.writeFile(file, data, size);
      }
      std::size_t written = real.writeFile(file, data, size / 2);
      if (param.otherWriter) {
        std::ofstream(path_, std::ios::binary | std::ios::app) << "other\r\n";
      }
      return written;
    };
    ops.closeFile = [&](platform::File file) {
      bool fails = file == row && param.closeFails;
      // The log may be given the same handle next.
      if (file == row) row = platform::kNoFile;
      return real.closeFile(file) && !fails;
    };
    platform::ScopedOperations scoped(ops);
    EXPECT_FALSE(Row({"lost;", "12345678"}));
  }
  EXPECT_TRUE(Row({"next"}));
  EXPECT_EQ(ReadFile(path_), param.expected);
  EXPECT_EQ(output_.errors(), "Unable to write result-file!\n");
  EXPECT_EQ(env_.LogLines(),
            (std::vector<std::string>{"ERROR|Unable to write result-file!"}));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRowTest,
    ::testing::Values(
        FailedRowCase{"PartIsCutOff", true, false, false, "old\r\nnext\r\n"},
        FailedRowCase{"PartBeforeAnotherWritersRowStays", true, true, false,
                      "old\r\nlost;12other\r\n\r\nnext\r\n"},
        // What reached the file is not known: the next row starts a line
        // of its own all the same.
        FailedRowCase{"CloseFails", false, false, true,
                      "old\r\nlost;12345678\r\n\r\nnext\r\n"}),
    [](const auto& each) { return each.param.name; });

}  // namespace
}  // namespace ostrivel::coverage
