#include "config/config_reader.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log/log.h"
#include "platform/operations.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::config {
namespace {

using testing::CapturedOutput;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TestEnvironment;
using ::testing::UnorderedElementsAre;

constexpr int kDebug = 0;
constexpr int kSimple = 1;

const CapturedOutput::Warning kConfigurationWarning = {
    "Configuration",
    "Unable to open config-file!\nDefault configurations used."};

// --- ParseLine and Cutting -------------------------------------------------

struct ParseCase {
  std::string line;
  std::string key;
  std::string value;
};

class ParseLineTest : public ::testing::TestWithParam<ParseCase> {
 protected:
  TestEnvironment env_{kSimple};
};

TEST_P(ParseLineTest, SplitsAtFirstColonAndTrimsBlanks) {
  Option option = ParseLine(GetParam().line);
  EXPECT_EQ(option.first, GetParam().key);
  EXPECT_EQ(option.second, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseLineTest,
    ::testing::Values(
        ParseCase{"host_name:test-server", "host_name", "test-server"},
        ParseCase{"  host_name : test-server  ", "host_name", "test-server"},
        ParseCase{"host_name:\ttest-server", "host_name", "\ttest-server"},
        ParseCase{"\tport: 1\t", "\tport", "1\t"},
        ParseCase{"base_location: C:/Runs/", "base_location", "C:/Runs/"},
        ParseCase{"key::", "key", ":"}, ParseCase{"port", "port", "port"},
        ParseCase{"  host_name ", "host_name", "host_name"},
        ParseCase{"host_name:", "host_name", ""},
        ParseCase{"host_name:   ", "host_name", ""},
        ParseCase{":value", "", "value"}, ParseCase{"", "", ""},
        ParseCase{"   ", "", ""}, ParseCase{" a b : c  d ", "a b", "c  d"},
        ParseCase{"# host_name: x", "# host_name", "x"},
        ParseCase{"host_name: \"quoted\"", "host_name", "\"quoted\""}));

struct CuttingCase {
  std::string text;
  std::string expected;
};

class CuttingTest : public ::testing::TestWithParam<CuttingCase> {
 protected:
  TestEnvironment env_{kSimple};
};

TEST_P(CuttingTest, RemovesLeadingAndTrailingSpacesOnly) {
  EXPECT_EQ(Cutting(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, CuttingTest,
                         ::testing::Values(CuttingCase{"", ""},
                                           CuttingCase{"    ", ""},
                                           CuttingCase{"a", "a"},
                                           CuttingCase{"  a  ", "a"},
                                           CuttingCase{" a  b ", "a  b"},
                                           CuttingCase{"\ta\t", "\ta\t"},
                                           CuttingCase{" \r\n ", "\r\n"}));

TEST(ParseLineLogTest, LogsLineThenUntrimmedValueThenUntrimmedKey) {
  TestEnvironment env(kDebug);
  ParseLine("  host_name : test-server  ");
  EXPECT_THAT(env.LogLines(),
              ElementsAre("DEBUG|ParseLine method. (line:   host_name : "
                          "test-server  )",
                          "DEBUG|Cutting. (base string:  test-server  )",
                          "DEBUG|Cutting. (base string:   host_name )"));
}

TEST(ParseLineLogTest, LineWithoutColonIsCutTwice) {
  TestEnvironment env(kDebug);
  ParseLine(" port");
  EXPECT_THAT(env.LogLines(),
              ElementsAre("DEBUG|ParseLine method. (line:  port)",
                          "DEBUG|Cutting. (base string:  port)",
                          "DEBUG|Cutting. (base string:  port)"));
}

TEST(ParseLineLogTest, NothingIsLoggedAtTheDefaultThreshold) {
  TestEnvironment env(kSimple);
  ApplyOption(ParseLine("host_name: h"), env.settings());
  EXPECT_EQ(env.RawLog(), "<missing>");
}

// --- ApplyOption: one case per key -----------------------------------------

std::string Text(std::int32_t value) { return std::to_string(value); }

struct KeyCase {
  std::string line;
  // The "New ..." message, or empty when the key writes none.
  std::string logMessage;
  std::function<std::string(const Settings&)> read;
  std::string expected;
};

class ApplyOptionTest : public ::testing::TestWithParam<KeyCase> {
 protected:
  TestEnvironment env_{kDebug};
};

TEST_P(ApplyOptionTest, LogsNewValueAndChangesSetting) {
  const KeyCase& c = GetParam();
  ApplyOption(ParseLine(c.line), env_.settings());
  EXPECT_EQ(c.read(env_.settings()), c.expected);
  std::vector<std::string> messages = env_.LogMessages();
  // ParseLine and the two Cutting lines come first.
  ASSERT_GE(messages.size(), 3u);
  if (c.logMessage.empty()) {
    EXPECT_EQ(messages.size(), 3u);
  } else {
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[3], c.logMessage);
    EXPECT_EQ(env_.LogLines()[3].substr(0, 6), "DEBUG|");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ApplyOptionTest,
    ::testing::Values(
        KeyCase{"base_location: D:/Runs/", "New base_location: \"D:/Runs/\"",
                [](const Settings& s) { return s.base_location; }, "D:/Runs/"},
        KeyCase{"methods: a;b", "New methods value: \"a;b\"",
                [](const Settings& s) { return s.methods; }, "a;b"},
        KeyCase{"res_location: /r/result.csv",
                "New res_location: \"/r/result.csv\"",
                [](const Settings& s) { return s.res_location; },
                "/r/result.csv"},
        KeyCase{"methods_location: /m/", "New methods_location: \"/m/\"",
                [](const Settings& s) { return s.methods_location; }, "/m/"},
        KeyCase{"host_name: test server", "New host_name: \"test server\"",
                [](const Settings& s) { return s.host_name; }, "test server"},
        KeyCase{"host_name:", "New host_name: \"\"",
                [](const Settings& s) { return s.host_name; }, ""},
        KeyCase{"host_name", "New host_name: \"host_name\"",
                [](const Settings& s) { return s.host_name; }, "host_name"},
        KeyCase{"port: 9000", "New port: \"9000\"",
                [](const Settings& s) { return Text(s.port); }, "9000"},
        KeyCase{"port:  -12abc", "New port: \"-12abc\"",
                [](const Settings& s) { return Text(s.port); }, "-12"},
        KeyCase{"port: abc", "New port: \"abc\"",
                [](const Settings& s) { return Text(s.port); }, "0"},
        KeyCase{"port:", "New port: \"\"",
                [](const Settings& s) { return Text(s.port); }, "0"},
        KeyCase{"port", "New port: \"port\"",
                [](const Settings& s) { return Text(s.port); }, "0"},
        KeyCase{"port: 99999999999", "New port: \"99999999999\"",
                [](const Settings& s) { return Text(s.port); }, "2147483647"},
        KeyCase{"Port: 9000", "",
                [](const Settings& s) { return Text(s.port); }, "8182"},
        KeyCase{"application_list: a, b", "",
                [](const Settings& s) { return s.host_name; }, "localhost"},
        KeyCase{"log_level: error", "New log_level: \"error\"",
                [](const Settings& s) { return Text(s.log_level); }, "2"},
        KeyCase{"log_level: simple", "New log_level: \"simple\"",
                [](const Settings& s) { return Text(s.log_level); }, "0"},
        KeyCase{"log_level: DEBUG", "New log_level: \"DEBUG\"",
                [](const Settings& s) { return Text(s.log_level); }, "0"},
        KeyCase{"connect_timeout_ms: 1500", "New connect_timeout_ms: \"1500\"",
                [](const Settings& s) { return Text(s.connect_timeout_ms); },
                "1500"},
        KeyCase{"connect_timeout_ms: -5", "New connect_timeout_ms: \"-5\"",
                [](const Settings& s) { return Text(s.connect_timeout_ms); },
                "0"},
        KeyCase{"receive_timeout_ms: 250", "New receive_timeout_ms: \"250\"",
                [](const Settings& s) { return Text(s.receive_timeout_ms); },
                "250"},
        KeyCase{"receive_timeout_ms: x", "New receive_timeout_ms: \"x\"",
                [](const Settings& s) { return Text(s.receive_timeout_ms); },
                "0"}));

TEST(ApplyOptionEffectTest, BaseLocationChangesOnlyItself) {
  TestEnvironment env(kSimple);
  Settings settings;
  ApplyOption(ParseLine("base_location: D:/Runs/"), settings);
  EXPECT_EQ(settings.base_location, "D:/Runs/");
  EXPECT_EQ(settings.log_location, "C:/Coverage/log.txt");
  EXPECT_EQ(settings.res_location, "C:/Coverage/result.csv");
  EXPECT_EQ(settings.methods_location, "C:/Coverage/methods/");
}

TEST(ApplyOptionEffectTest, LogLocationLineGoesToTheOldFile) {
  TestEnvironment env(kDebug);
  std::string newLog = env.dir().File("other.txt");
  ApplyOption(ParseLine("log_location: " + newLog), env.settings());
  log::WriteLog(log::LogLevel::Simple, "after");
  ASSERT_EQ(env.LogMessages().size(), 4u);
  EXPECT_EQ(env.LogMessages()[3], "New log_location: \"" + newLog + "\"");
  EXPECT_EQ(env.settings().log_location, newLog);
  EXPECT_THAT(testing::ReadFile(newLog),
              ::testing::MatchesRegex("\\[[^]]*, SIMPLE\\]  after\r\n"));
}

TEST(ApplyOptionEffectTest, LogLevelDebugLineIsFilteredByTheOldThreshold) {
  TestEnvironment env(kSimple);
  ApplyOption(ParseLine("log_level: debug"), env.settings());
  EXPECT_EQ(env.settings().log_level, 0);
  EXPECT_EQ(env.RawLog(), "<missing>");
}

TEST(ApplyOptionEffectTest, LogLevelErrorLineIsWrittenBeforeTheChange) {
  TestEnvironment env(kDebug);
  ApplyOption(ParseLine("log_level: error"), env.settings());
  ApplyOption(ParseLine("host_name: h"), env.settings());
  EXPECT_EQ(env.LogMessages().back(), "New log_level: \"error\"");
  EXPECT_EQ(env.settings().host_name, "h");
}

// --- ReadConfiguration -----------------------------------------------------

class ReadConfigurationTest : public ::testing::Test {
 protected:
  explicit ReadConfigurationTest(int logLevel = kSimple) : env_(logLevel) {}

  // Writes "bytes" as the configuration file and reads it.
  void Read(std::string_view bytes) {
    std::string path = env_.dir().File("config.txt");
    testing::WriteFile(path, bytes);
    ReadConfiguration(path.c_str(), env_.settings(), env_.methodLists());
  }
  void AddMethodFile(const std::string& name, const std::string& app) {
    testing::WriteFile(env_.methodsPath() + name,
                       "ProjectName;" + app + "\nm0\n");
  }
  const Settings& settings() const { return env_.settings(); }
  std::vector<std::string> ApplicationNames() const {
    std::vector<std::string> names;
    for (const auto& [name, methods] : env_.methodLists()) {
      names.push_back(name);
    }
    return names;
  }

  CapturedOutput output_;
  TestEnvironment env_;
};

TEST_F(ReadConfigurationTest, AppliesLinesInOrderAndLastOccurrenceWins) {
  Read("host_name: first\nport: 1\nhost_name: second\n");
  EXPECT_EQ(settings().host_name, "second");
  EXPECT_EQ(settings().port, 1);
  EXPECT_THAT(output_.warnings(), IsEmpty());
}

TEST_F(ReadConfigurationTest, LastLineWithoutLineFeedIsApplied) {
  Read("port: 1\nhost_name: last");
  EXPECT_EQ(settings().host_name, "last");
}

TEST_F(ReadConfigurationTest, CarriageReturnBeforeLineFeedIsNoPartOfValue) {
  Read("host_name: a\r\nport: 5\r\n");
  EXPECT_EQ(settings().host_name, "a");
  EXPECT_EQ(settings().port, 5);
}

TEST_F(ReadConfigurationTest, ByteOrderMarkHidesTheFirstKey) {
  Read("\xEF\xBB\xBFhost_name: a\nport: 5\n");
  EXPECT_EQ(settings().host_name, "localhost");
  EXPECT_EQ(settings().port, 5);
}

TEST_F(ReadConfigurationTest, CommentsBlankLinesAndUnknownKeysChangeNothing) {
  Read("# port: 1\n\n   \n// host_name: x\nPort: 2\nHOST_NAME: y\n");
  EXPECT_EQ(settings().port, 8182);
  EXPECT_EQ(settings().host_name, "localhost");
}

TEST_F(ReadConfigurationTest, LineOf1023CharactersIsWholeAndReadingGoesOn) {
  std::string value(1023 - 11, 'x');  // "host_name: " is 11 characters
  Read("host_name: " + value + "\nport: 5\n");
  EXPECT_EQ(settings().host_name, value);
  EXPECT_EQ(settings().port, 5);
}

TEST_F(ReadConfigurationTest, OverlongLineIsAppliedCutAndEndsTheReading) {
  Read("host_name: " + std::string(1100, 'x') + "\nport: 5\n");
  EXPECT_EQ(settings().host_name, std::string(1023 - 11, 'x'));
  EXPECT_EQ(settings().port, 8182);
}

TEST_F(ReadConfigurationTest, LogInTheConfigurationFileIsNotReadBack) {
  // Each debug line written into the file being read would otherwise come
  // back as a configuration line that writes more, without end.
  std::string path = env_.dir().File("config.txt");
  std::string text =
      "log_level: debug\nlog_location: " + path + "\nhost_name: h\n";
  Read(text);
  EXPECT_EQ(settings().host_name, "h");
  std::string bytes = testing::ReadFile(path);
  ASSERT_TRUE(bytes.starts_with(text));
  std::vector<std::string> messages;
  for (std::size_t at = text.size(); at < bytes.size();) {
    std::size_t end = bytes.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    std::string line = bytes.substr(at, end - at);
    messages.push_back(line.substr(line.find("]  ") + 3));
    at = end + 2;
  }
  EXPECT_THAT(
      messages,
      ElementsAre("ParseLine method. (line: host_name: h)",
                  "Cutting. (base string:  h)",
                  "Cutting. (base string: host_name)", "New host_name: \"h\"",
                  "ParseLine method. (line: )", "Cutting. (base string: )",
                  "Cutting. (base string: )"));
}

TEST_F(ReadConfigurationTest, MissingFileWarnsOnceLogsNothingAndLoadsLists) {
  AddMethodFile("shop.csv", "Shop");
  Settings before = settings();
  ReadConfiguration(env_.dir().File("missing.txt").c_str(), env_.settings(),
                    env_.methodLists());
  EXPECT_THAT(output_.warnings(), ElementsAre(kConfigurationWarning));
  EXPECT_EQ(settings().host_name, before.host_name);
  EXPECT_EQ(settings().port, before.port);
  EXPECT_EQ(settings().log_level, before.log_level);
  EXPECT_THAT(ApplicationNames(), ElementsAre("Shop"));
  EXPECT_EQ(env_.RawLog(), "<missing>");
  EXPECT_EQ(output_.errors(), "");
}

TEST_F(ReadConfigurationTest, NullPathIsTreatedAsMissingFile) {
  AddMethodFile("shop.csv", "Shop");
  ReadConfiguration(nullptr, env_.settings(), env_.methodLists());
  EXPECT_THAT(output_.warnings(), ElementsAre(kConfigurationWarning));
  EXPECT_THAT(ApplicationNames(), ElementsAre("Shop"));
}

TEST_F(ReadConfigurationTest, MissingFileScansTheDefaultMethodsLocation) {
  Settings defaults;
  coverage::MethodLists lists;
  std::vector<std::string> listed;
  platform::Operations ops = platform::Current();
  ops.listDirectory = [&](const std::string& path) {
    listed.push_back(path);
    return platform::DirectoryListing{};
  };
  platform::ScopedOperations scoped(ops);
  ReadConfiguration(env_.dir().File("missing.txt").c_str(), defaults, lists);
  EXPECT_THAT(listed, ElementsAre("C:/Coverage/methods/"));
}

TEST_F(ReadConfigurationTest, MethodsLocationFromTheFileIsScanned) {
  std::string other = env_.dir().File("other/");
  std::filesystem::create_directory(other);
  testing::WriteFile(other + "a.csv", "ProjectName;Other\nm0\n");
  AddMethodFile("shop.csv", "Shop");
  Read("methods_location: " + other + "\n");
  EXPECT_THAT(ApplicationNames(), ElementsAre("Other"));
}

TEST_F(ReadConfigurationTest, SecondReadAppendsTheListsAgain) {
  AddMethodFile("shop.csv", "Shop");
  Read("port: 5\n");
  Read("port: 5\n");
  EXPECT_THAT(env_.methodLists().at("Shop"), ElementsAre("m0", "m0"));
}

class ReadConfigurationDebugTest : public ReadConfigurationTest {
 protected:
  ReadConfigurationDebugTest() : ReadConfigurationTest(kDebug) {}
};

TEST_F(ReadConfigurationDebugTest, EveryReadIsParsedIncludingTheFinalEmptyOne) {
  Read("host_name: h\nPort: 1\n");
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|ParseLine method. (line: host_name: h)",
                          "DEBUG|Cutting. (base string:  h)",
                          "DEBUG|Cutting. (base string: host_name)",
                          "DEBUG|New host_name: \"h\"",
                          "DEBUG|ParseLine method. (line: Port: 1)",
                          "DEBUG|Cutting. (base string:  1)",
                          "DEBUG|Cutting. (base string: Port)",
                          "DEBUG|ParseLine method. (line: )",
                          "DEBUG|Cutting. (base string: )",
                          "DEBUG|Cutting. (base string: )"));
}

TEST_F(ReadConfigurationTest, LogLevelDebugFirstLetsLaterLinesThrough) {
  Read("log_level: debug\nhost_name: h");
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|ParseLine method. (line: host_name: h)",
                          "DEBUG|Cutting. (base string:  h)",
                          "DEBUG|Cutting. (base string: host_name)",
                          "DEBUG|New host_name: \"h\""));
}

TEST_F(ReadConfigurationTest, LogLevelDebugLastLetsNoLineOfTheFileThrough) {
  Read("host_name: h\nlog_level: debug");
  EXPECT_EQ(settings().log_level, 0);
  EXPECT_EQ(env_.RawLog(), "<missing>");
}

// --- ScanMethodsDirectory --------------------------------------------------

class ScanMethodsDirectoryTest : public ReadConfigurationTest {
 protected:
  ScanMethodsDirectoryTest() : ReadConfigurationTest(kDebug) {}
};

TEST_F(ScanMethodsDirectoryTest, SelectsNamesEndingInLowerCaseCsv) {
  for (const char* name : {"a.csv", "list_csv", "mycsv", "csv", "a.CSV",
                           "list.csv.bak", "ab", "sv"}) {
    AddMethodFile(name, name);
  }
  std::filesystem::create_directory(env_.methodsPath() + "x.csv");
  ScanMethodsDirectory(env_.methodsPath(), env_.methodLists());
  EXPECT_THAT(ApplicationNames(),
              ElementsAre("a.csv", "csv", "list_csv", "mycsv"));
  std::string dir = env_.methodsPath();
  EXPECT_THAT(env_.LogLines(),
              UnorderedElementsAre(
                  "DEBUG|Open method list. (name: " + dir + "a.csv)",
                  "DEBUG|Open method list. (name: " + dir + "list_csv)",
                  "DEBUG|Open method list. (name: " + dir + "mycsv)",
                  "DEBUG|Open method list. (name: " + dir + "csv)"));
}

TEST_F(ScanMethodsDirectoryTest, LocationWithoutSeparatorRunsNamesTogether) {
  AddMethodFile("a.csv", "Shop");
  std::string dir = env_.methodsPath();
  dir.pop_back();
  ScanMethodsDirectory(dir, env_.methodLists());
  EXPECT_THAT(ApplicationNames(), IsEmpty());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Open method list. (name: " + dir + "a.csv)",
                          "ERROR|\"" + dir + "a.csv\" can't be opened!"));
}

TEST_F(ScanMethodsDirectoryTest, EmptyDirectoryLoadsAndReportsNothing) {
  ScanMethodsDirectory(env_.methodsPath(), env_.methodLists());
  EXPECT_THAT(ApplicationNames(), IsEmpty());
  EXPECT_EQ(env_.RawLog(), "<missing>");
  EXPECT_EQ(output_.errors(), "");
}

TEST_F(ScanMethodsDirectoryTest, MissingDirectoryIsReportedLikePerror) {
  env_.methodLists()["Kept"] = {"m0"};
  ScanMethodsDirectory(env_.dir().File("none/"), env_.methodLists());
  EXPECT_EQ(output_.errors(),
            "No method's location found!\n: No such file or directory\n");
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("ERROR|No method's location found!"));
  EXPECT_THAT(ApplicationNames(), ElementsAre("Kept"));
}

TEST_F(ScanMethodsDirectoryTest, ErrorDescriptionFollowsTheErrorNumber) {
  // Running as root, a permission failure cannot be produced for real.
  platform::Operations ops = platform::Current();
  ops.listDirectory = [](const std::string&) {
    return platform::DirectoryListing{EACCES, {}};
  };
  platform::ScopedOperations scoped(ops);
  ScanMethodsDirectory(env_.methodsPath(), env_.methodLists());
  EXPECT_EQ(output_.errors(),
            "No method's location found!\n: Permission denied\n");
}

}  // namespace
}  // namespace ostrivel::config
