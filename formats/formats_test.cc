#include <cmath>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/config_format.h"
#include "formats/method_list_format.h"
#include "formats/result_format.h"
#include "formats/trace_format.h"
#include "testing/temp_dir.h"

namespace ostrivel::formats {
namespace {

using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;

// ---- result rows ----

TEST(FormatNumberTest, WritesLikeAStreamsDefault) {
  EXPECT_EQ(FormatNumber(4), "4");
  EXPECT_EQ(FormatNumber(100.0 / 3), "33.3333");
  EXPECT_EQ(FormatNumber(999999), "999999");
  EXPECT_EQ(FormatNumber(1234567), "1.23457e+06");
  EXPECT_EQ(FormatNumber(std::nan("")), "nan");
}

TEST(SplitResultRowTest, SevenFieldsAreARow) {
  std::string reason;
  auto row = SplitResultRow("Login;Shop;4;50;1500;0 2;1 3", &reason);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->test, "Login");
  EXPECT_EQ(row->application, "Shop");
  EXPECT_EQ(row->traceLength, "4");
  EXPECT_EQ(row->coverage, "50");
  EXPECT_EQ(row->runtime, "1500");
  EXPECT_EQ(row->covered, "0 2");
  EXPECT_EQ(row->notCovered, "1 3");

  row = SplitResultRow(";Shop;0;0;0;;0 1", &reason);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->test, "");
  EXPECT_EQ(row->covered, "");
}

TEST(SplitResultRowTest, ASemicolonInANameIsNoRow) {
  std::string reason;
  EXPECT_FALSE(SplitResultRow("Log;in;Shop;4;50;1500;0 2;1 3", &reason));
  EXPECT_EQ(reason,
            "the row has 8 fields instead of 7: a test or application name "
            "holds \";\"");
  EXPECT_FALSE(SplitResultRow("Login;Shop;4;50", &reason));
  EXPECT_EQ(reason, "the row has 4 fields instead of 7");
}

// ---- trace rows ----

struct TraceRowCase {
  const char* line;
  std::optional<std::pair<std::string, std::int32_t>> row;
};

class SplitTraceRowTest : public ::testing::TestWithParam<TraceRowCase> {};

TEST_P(SplitTraceRowTest, CountFollowsTheLastSemicolon) {
  std::optional<TraceRow> row = SplitTraceRow(GetParam().line);
  ASSERT_EQ(row.has_value(), GetParam().row.has_value());
  if (!row) return;
  EXPECT_EQ(row->method, GetParam().row->first);
  EXPECT_EQ(row->calls, GetParam().row->second);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SplitTraceRowTest,
    ::testing::Values(
        TraceRowCase{"m0;3", std::pair<std::string, std::int32_t>("m0", 3)},
        TraceRowCase{
            "Shop;Cart::add(int);Shop.cpp;2147483647",
            std::pair<std::string, std::int32_t>("Shop;Cart::add(int);Shop.cpp",
                                                 2147483647)},
        TraceRowCase{"m;-2", std::pair<std::string, std::int32_t>("m", -2)},
        TraceRowCase{"m;0", std::nullopt}, TraceRowCase{"m;five", std::nullopt},
        TraceRowCase{"m;3 ", std::nullopt},
        TraceRowCase{"m;2147483648", std::nullopt},
        TraceRowCase{"no count", std::nullopt}));

// ---- method lists ----

struct MethodListCase {
  const char* name;
  std::string bytes;
  std::string application;
  std::vector<std::string> lines;
};

void PrintTo(const MethodListCase& value, std::ostream* out) {
  *out << value.name;
}

class MethodListFileTest : public ::testing::TestWithParam<MethodListCase> {};

TEST_P(MethodListFileTest, ReadsLikeTheLibrary) {
  TempDir dir;
  WriteFile(dir.File("list.csv"), GetParam().bytes);
  std::string error;
  auto file = ReadMethodListFile(dir.File("list.csv"), &error);
  ASSERT_TRUE(file.has_value()) << error;
  EXPECT_EQ(file->application, GetParam().application);
  EXPECT_EQ(file->lines, GetParam().lines);
}

const std::string kLine1023(1023, 'a');
const std::string kLine1024(1024, 'b');

INSTANTIATE_TEST_SUITE_P(
    Rules, MethodListFileTest,
    ::testing::Values(
        MethodListCase{"Plain",
                       "ProjectName;Shop\nm0\nm1\nm2\n",
                       "Shop",
                       {"m0", "m1", "m2"}},
        MethodListCase{"CrLf",
                       "ProjectName;Shop\r\nm0\r\n\r\nm2\r\n",
                       "Shop",
                       {"m0", "", "m2"}},
        MethodListCase{"BlankAndSecondSemicolonBelongToTheName",
                       "\xEF\xBB\xBFProjectName; Sh;op\nm0\n",
                       " Sh;op",
                       {"m0"}},
        MethodListCase{
            "NoSemicolon", "xProjectName\nm0\n", "xProjectName", {"m0"}},
        MethodListCase{"LastLineWithoutLineFeedIsNoMethod",
                       "ProjectName;A\nm0\nm1",
                       "A",
                       {"m0"}},
        MethodListCase{"HeaderOnly", "ProjectName;A", "A", {}},
        MethodListCase{"LongestLineIsKept",
                       "ProjectName;A\n" + kLine1023 + "\nm1\n",
                       "A",
                       {kLine1023, "m1"}},
        MethodListCase{"OverlongLineEndsTheList",
                       "ProjectName;A\nm0\n" + kLine1024 + "\nm2\n",
                       "A",
                       {"m0"}}),
    [](const ::testing::TestParamInfo<MethodListCase>& param) {
      return param.param.name;
    });

TEST(MethodListFileErrorsTest, MissingHeaderAndMissingFileAreRefused) {
  TempDir dir;
  WriteFile(dir.File("bad.csv"), "Project;A\nm0\n");
  std::string error;
  EXPECT_FALSE(ReadMethodListFile(dir.File("bad.csv"), &error).has_value());
  // The expected texts are built by appending: GCC 12 warns, wrongly, about
  // overlapping copies in "\"" + std::string at -O3.
  std::string expected = "\"";
  expected += dir.File("bad.csv");
  expected += "\" has no \"ProjectName\" header";
  EXPECT_EQ(error, expected);
  EXPECT_FALSE(ReadMethodListFile(dir.File("none.csv"), &error).has_value());
  expected = "\"";
  expected += dir.File("none.csv");
  expected += "\" can't be opened";
  EXPECT_EQ(error, expected);
}

// ---- the configuration file ----

struct ConfigCase {
  const char* name;
  std::string text;
  std::optional<std::string> value;
};

class ConfigValueTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigValueTest, FollowsTheLibrarysKeyRules) {
  TempDir dir;
  WriteFile(dir.File("c.conf"), GetParam().text);
  EXPECT_EQ(ReadConfigValue(dir.File("c.conf"), "res_location"),
            GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigValueTest,
    ::testing::Values(
        ConfigCase{"Trimmed", "  res_location :  /out/r.csv  \r\n",
                   "/out/r.csv"},
        // The last occurrence wins; a tab stays in the value; case matters.
        ConfigCase{"LastWins",
                   "res_location: a\nres_location:\tb\nRes_location: c\n",
                   "\tb"},
        // Further colons belong to the value; a last line without LF counts.
        ConfigCase{"FirstColonSplits", "res_location: C:/x/r.csv",
                   "C:/x/r.csv"},
        ConfigCase{"NoColonIsKeyAndValue", "res_location\n", "res_location"},
        ConfigCase{"OtherKey", "log_location: /l.txt\n", std::nullopt},
        ConfigCase{"OverlongLineCountsWithItsStartAndEndsTheReading",
                   "res_location: " + std::string(1100, 'v') +
                       "\nres_location: later\n",
                   std::string(1023 - 14, 'v')}),
    [](const ::testing::TestParamInfo<ConfigCase>& param) {
      return param.param.name;
    });

TEST(ConfigFileTest, UnreadableFileHasNoValue) {
  TempDir dir;
  EXPECT_EQ(ReadConfigValue(dir.File("missing.conf"), "res_location"),
            std::nullopt);
  EXPECT_EQ(ReadConfigValue(dir.path(), "res_location"), std::nullopt);
}

}  // namespace
}  // namespace ostrivel::formats
