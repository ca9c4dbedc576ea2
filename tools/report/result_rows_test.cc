#include "tools/report/result_rows.h"

#include <cmath>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace ostrivel::report {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TempDir;
using testing::WriteFile;

TEST(ParsePositionsTest, ReadsAscendingPositionsSeparatedByOneBlank) {
  std::vector<std::uint32_t> positions;
  EXPECT_TRUE(ParsePositions("", &positions));
  EXPECT_TRUE(positions.empty());
  EXPECT_TRUE(ParsePositions("0 2 19999", &positions));
  EXPECT_THAT(positions, ElementsAre(0, 2, 19999));
  for (const char* bad : {" 1", "1 ", "1  2", "2 1", "1 1", "-1", "+1", "1,2",
                          "a", "4294967296"}) {
    EXPECT_FALSE(ParsePositions(bad, &positions)) << bad;
  }
}

TEST(ParsePositionsTest, CoveredAndNotCoveredMustSplitTheRange) {
  EXPECT_TRUE(IsSplitOfAllPositions({0, 2}, {1, 3}));
  EXPECT_TRUE(IsSplitOfAllPositions({}, {}));
  EXPECT_TRUE(IsSplitOfAllPositions({}, {0, 1}));
  EXPECT_FALSE(IsSplitOfAllPositions({0, 2}, {3}));     // 1 is missing
  EXPECT_FALSE(IsSplitOfAllPositions({0, 1}, {1, 2}));  // 1 twice
  EXPECT_FALSE(IsSplitOfAllPositions({1}, {2}));        // 0 is missing
}

TEST(ParsePositionsTest, TheRestOfAllPositionsIsCheckedAsText) {
  AllPositions four(4);
  EXPECT_TRUE(four.AreTheRest({0, 2}, "1 3"));
  EXPECT_TRUE(four.AreTheRest({}, "0 1 2 3"));
  EXPECT_TRUE(four.AreTheRest({0, 1, 2, 3}, ""));
  EXPECT_TRUE(four.AreTheRest({1, 2}, "0 3"));
  EXPECT_TRUE(AllPositions(0).AreTheRest({}, ""));
  for (const char* bad :
       {"1", "1 3 ", " 1 3", "1  3", "1 3 4", "01 3", "1 2 3", "3 1", ""}) {
    EXPECT_FALSE(four.AreTheRest({0, 2}, bad)) << bad;
  }
  EXPECT_FALSE(four.AreTheRest({0, 4}, "1 2 3"));  // beyond the list

  // Agrees with reading every number, on a list of realistic length.
  AllPositions many(20000);
  std::vector<std::uint32_t> covered;
  std::string rest;
  for (std::uint32_t p = 0; p < 20000; ++p) {
    if (p % 7 == 3 || p % 11 == 0) {
      covered.push_back(p);
    } else {
      rest += (rest.empty() ? "" : " ") + std::to_string(p);
    }
  }
  EXPECT_TRUE(many.AreTheRest(covered, rest));
  EXPECT_FALSE(many.AreTheRest(covered, rest + " 20000"));
  covered.pop_back();
  EXPECT_FALSE(many.AreTheRest(covered, rest));
}

TEST(NumberTest, ReadsWhatTheLibraryWrites) {
  EXPECT_EQ(ParseNumber("1.23457e+06"), 1234570.0);
  EXPECT_EQ(ParseNumber("-5"), -5.0);
  EXPECT_TRUE(std::isnan(*ParseNumber("nan")));
  EXPECT_TRUE(std::isnan(*ParseNumber("-nan")));
  EXPECT_FALSE(ParseNumber(""));
  EXPECT_FALSE(ParseNumber("12ms"));
  EXPECT_FALSE(ParseNumber(" 12"));
}

TEST(ShortenRowTest, LongRowsKeepTheirStart) {
  EXPECT_EQ(ShortenRow("a;b"), "a;b");
  std::string row = "Login;Shop;" + std::string(1000, '1');
  EXPECT_EQ(ShortenRow(row), row.substr(0, 200) + "... (811 more bytes)");
}

}  // namespace
}  // namespace ostrivel::report
