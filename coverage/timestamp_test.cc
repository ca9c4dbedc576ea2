#include "coverage/timestamp.h"

#include <ctime>
#include <limits>

#include <gtest/gtest.h>

namespace ostrivel::coverage {
namespace {

TEST(TimestampTest, ReadsLocalTimeWithMilliseconds) {
  std::tm expected{};
  expected.tm_year = 114;
  expected.tm_mon = 4;
  expected.tm_mday = 6;
  expected.tm_hour = 12;
  expected.tm_min = 34;
  expected.tm_sec = 56;
  expected.tm_isdst = -1;
  EXPECT_EQ(TimestampToMilliseconds("2014.05.06 12:34:56.789"),
            std::int64_t{std::mktime(&expected)} * 1000 + 789);
}

TEST(TimestampTest, FieldsFollowTheCutRule) {
  auto same = [](const char* a, const char* b) {
    EXPECT_EQ(TimestampToMilliseconds(a), TimestampToMilliseconds(b))
        << a << " vs " << b;
  };
  // Milliseconds are a count, not a fraction.
  EXPECT_EQ(TimestampToMilliseconds("2014.05.06 12:34:56.5") -
                TimestampToMilliseconds("2014.05.06 12:34:56.0"),
            5);
  // Without a separator the text stays whole and the field is read again.
  same("2014.05.06 12:34:56", "2014.05.06 12:34:56.056");
  same("2014.05.06", "2014.05.06 06:06:06.006");
  // atoi's reading: blanks and a sign, 0 without digits, digits up to the
  // first other character.
  same(" 2014.+05.06 12:34:x.-1ms", "2014.05.06 12:34:00.-1");
  EXPECT_EQ(TimestampToMilliseconds("2014.05.06 12:34:00.-1") -
                TimestampToMilliseconds("2014.05.06 12:34:00.0"),
            -1);
  // Out-of-range fields are normalised.
  same("2014.05.06 12:34:60.000", "2014.05.06 12:35:00.000");
  same("2013.13.06 12:00:00.000", "2014.01.06 12:00:00.000");
}

TEST(TimestampTest, HugeFieldsDoNotOverflow) {
  // Saturated, or rejected by mktime (-1 s): either way a defined value.
  std::int64_t t = TimestampToMilliseconds(
      "99999999999999.99999999999.1 1:1:1.99999999999999");
  EXPECT_TRUE(t == std::numeric_limits<std::int64_t>::max() ||
              t == -1000 + std::numeric_limits<int>::max())
      << t;
  TimestampToMilliseconds("");
  TimestampToMilliseconds("-99999999999999.-9999999999.-1 -1:-1:-1.-9");
}

}  // namespace
}  // namespace ostrivel::coverage
