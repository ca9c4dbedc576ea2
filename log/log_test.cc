#include "log/log.h"

#include <cstdint>
#include <limits>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fake_platform.h"
#include "testing/log_capture.h"

namespace ostrivel::log {
namespace {

using ::ostrivel::testing::CapturedOutput;
using ::ostrivel::testing::TestEnvironment;
using Lines = std::vector<std::string>;

TEST(LogTest, LineLayoutIsBracketTimestampLevelTwoBlanksMessageCrLf) {
  TestEnvironment env(0);
  WriteLog(LogLevel::Simple, "Device open.");
  WriteLog(LogLevel::Debug, std::string());
  WriteLog(LogLevel::Error, "boom");
  std::regex layout(
      "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, SIMPLE\\]  Device "
      "open\\.\r\n"
      "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, DEBUG \\]  \r\n"
      "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, ERROR \\]  boom\r\n");
  EXPECT_TRUE(std::regex_match(env.RawLog(), layout)) << env.RawLog();
}

TEST(LogTest, ThresholdFiltersLowerLevels) {
  for (int threshold : {0, 1, 2}) {
    TestEnvironment env(threshold);
    WriteLog(LogLevel::Debug, "d");
    WriteLog(LogLevel::Simple, "s");
    WriteLog(LogLevel::Error, "e");
    Lines expected = {"DEBUG|d", "SIMPLE|s", "ERROR|e"};
    expected.erase(expected.begin(), expected.begin() + threshold);
    EXPECT_EQ(env.LogLines(), expected) << "threshold " << threshold;
  }
}

TEST(LogTest, PiecesAreJoinedWithoutSeparators) {
  TestEnvironment env(0);
  const std::string text = "value ";
  WriteLog(LogLevel::Simple, "value 42");
  WriteLog(LogLevel::Simple, text, 42);
  WriteLog(LogLevel::Simple, std::string_view("val"), "ue ", 4, 2U);
  WriteLog(LogLevel::Simple, "min ", std::numeric_limits<std::int64_t>::min(),
           " max ", std::numeric_limits<std::uint64_t>::max());
  WriteLog(LogLevel::Simple, "null:", static_cast<const char*>(nullptr), ".");
  EXPECT_EQ(
      env.LogMessages(),
      (Lines{"value 42", "value 42", "value 42",
             "min -9223372036854775808 max 18446744073709551615", "null:."}));
}

TEST(LogTest, WithoutSettingsNothingIsWritten) {
  TestEnvironment env(0);
  CapturedOutput output;
  UseSettings(nullptr);
  WriteLog(LogLevel::Error, "lost");
  UseSettings(&env.settings());
  WriteLog(LogLevel::Error, "kept");
  EXPECT_EQ(env.LogMessages(), Lines{"kept"});
  EXPECT_EQ(output.errors(), "");
}

TEST(LogTest, SettingsHandedOverAreFollowed) {
  TestEnvironment env(0);
  Settings own{env.dir().File("own.txt"),
               static_cast<std::int32_t>(LogLevel::Error)};
  UseSettings(&own);
  WriteLog(LogLevel::Simple, "filtered");
  WriteLog(LogLevel::Error, "own");
  UseSettings(&env.settings());
  EXPECT_EQ(env.LogMessages(), Lines{});
  std::string written =
      ::ostrivel::testing::ReadFile(env.dir().File("own.txt"));
  EXPECT_NE(written.find("ERROR ]  own\r\n"), std::string::npos) << written;
  EXPECT_EQ(written.find("filtered"), std::string::npos);
}

TEST(LogTest, MessageWithLineEndsIsWrittenUnchanged) {
  TestEnvironment env(0);
  WriteLog(LogLevel::Debug, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  EXPECT_EQ(env.LogLines(), (Lines{"DEBUG|HTTP/1.1 200 OK\r",
                                   "Content-Length: 2\r", "\r", "{}"}));
}

TEST(LogTest, UnwritableLocationReportsOnStandardErrorForAdmittedLines) {
  TestEnvironment env(1);
  CapturedOutput output;
  env.settings().log_location = env.dir().File("missing/log.txt");
  WriteLog(LogLevel::Debug, "filtered");
  EXPECT_EQ(output.errors(), "");
  WriteLog(LogLevel::Simple, "lost");
  WriteLog(LogLevel::Error, "lost too");
  EXPECT_EQ(output.errors(),
            "Unable to open log-file!\nUnable to open log-file!\n");
  EXPECT_FALSE(::ostrivel::testing::FileExists(env.dir().File("missing")));
}

TEST(LogTest, LocationChangeTakesEffectWithTheNextLine) {
  TestEnvironment env(1);
  WriteLog(LogLevel::Simple, "first");
  env.settings().log_location = env.dir().File("other.txt");
  WriteLog(LogLevel::Simple, "second");
  EXPECT_EQ(env.LogMessages(), Lines{"first"});
  std::string other =
      ::ostrivel::testing::ReadFile(env.dir().File("other.txt"));
  EXPECT_NE(other.find("]  second\r\n"), std::string::npos);
}

TEST(LogTest, ExistingLogIsAppendedTo) {
  TestEnvironment env(1);
  ::ostrivel::testing::WriteFile(env.logPath(), "earlier run\r\n");
  WriteLog(LogLevel::Simple, "now");
  EXPECT_EQ(env.LogLines(), (Lines{"earlier run", "SIMPLE|now"}));
}

TEST(LogTest, TimestampEndsInCommaAndBlank) {
  std::string stamp = GetTimestamp();
  EXPECT_TRUE(std::regex_match(
      stamp, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d, )")))
      << stamp;
}

}  // namespace
}  // namespace ostrivel::log
