// Loads the built library the way a harness does and drives it through its
// whole life: Init, Open, naming the tests, Close. Checks the log it leaves
// and the symbols it exports.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "tests/loaded_library.h"

namespace {

using ostrivel::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAre;

// The exported functions under their C++ names, as nm lists them.
constexpr const char* kInit = "_ZN13Functionality4InitEPKc";
constexpr const char* kOpen = "_ZN13Functionality4OpenEv";
constexpr const char* kStartNewTestCase =
    "_ZN13Functionality16StartNewTestCaseEv";
constexpr const char* kSetTestName = "_ZN13Functionality11SetTestNameEPKc";
constexpr const char* kGetCurrentPath = "_ZN13Functionality14GetCurrentPathEv";
constexpr const char* kGetCollectedInformation =
    "_ZN13Functionality23GetCollectedInformationEv";
constexpr const char* kClose = "_ZN13Functionality5CloseEv";

using ostrivel::testing::ReadLogLines;

using ostrivel::testing::WorkingDirectory;

TEST(LifecycleTest, MissingConfigurationKeepsTheBuiltInDefaults) {
  ostrivel::testing::LoadedLibrary library;
  ASSERT_TRUE(library.loaded()) << library.error();

  // The defaults lie under "C:/Coverage/", a relative path here.
  TempDir dir;
  std::filesystem::create_directories(dir.File("C:/Coverage/methods"));
  ostrivel::testing::WriteFile(dir.File("C:/Coverage/methods/shop.csv"),
                               "Shop\n");
  WorkingDirectory cwd(dir.path());

  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(library.Init("missing.conf"));
  std::string errors = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(errors,
            "Configuration: Unable to open config-file!\n"
            "Default configurations used.\n");
  EXPECT_THAT(ReadLogLines(dir.File("C:/Coverage/log.txt")),
              ElementsAre("ERROR|\"C:/Coverage/methods/shop.csv\" wrong file "
                          "format!"));
}

TEST(LifecycleTest, WholeSequenceWritesItsLogLines) {
  ostrivel::testing::LoadedLibrary library;
  ASSERT_TRUE(library.loaded()) << library.error();

  TempDir dir;
  const std::string& base = dir.path();
  const std::string methods = dir.File("methods/");
  std::filesystem::create_directory(methods);
  ostrivel::testing::WriteFile(
      methods + "shop.csv",
      "ProjectName;Shop\r\n0;Login;auth\r\n1;Pay;cart\r\n");
  ostrivel::testing::WriteFile(methods + "notes.txt", "ProjectName;Notes\n");
  // The log moves first, so that no line goes to the default log; the
  // lines of log_location and log_level are below the threshold.
  const std::string config = dir.File("ostrivel.conf");
  ostrivel::testing::WriteFile(config, "log_location: " + base +
                                           "log.txt\n"
                                           "log_level: debug\n"
                                           "res_location: " +
                                           base +
                                           "result.csv\n"
                                           "methods_location:" +
                                           methods +
                                           "\n"
                                           "base_location: " +
                                           base + "\n");

  EXPECT_TRUE(library.Init(config.c_str()));
  EXPECT_TRUE(library.Open());
  EXPECT_TRUE(library.SetTestName("Login"));
  EXPECT_TRUE(library.GetCurrentPath());
  EXPECT_TRUE(library.Close());

  const std::string cwdName =
      std::filesystem::current_path().filename().string();
  std::vector<std::string> expected = {
      "DEBUG|ParseLine method. (line: res_location: " + base + "result.csv)",
      "DEBUG|Cutting. (base string:  " + base + "result.csv)",
      "DEBUG|Cutting. (base string: res_location)",
      "DEBUG|New res_location: \"" + base + "result.csv\"",
      "DEBUG|ParseLine method. (line: methods_location:" + methods + ")",
      "DEBUG|Cutting. (base string: " + methods + ")",
      "DEBUG|Cutting. (base string: methods_location)",
      "DEBUG|New methods_location: \"" + methods + "\"",
      "DEBUG|ParseLine method. (line: base_location: " + base + ")",
      "DEBUG|Cutting. (base string:  " + base + ")",
      "DEBUG|Cutting. (base string: base_location)",
      "DEBUG|New base_location: \"" + base + "\"",
      // The read that finds the end of the file is parsed as well.
      "DEBUG|ParseLine method. (line: )",
      "DEBUG|Cutting. (base string: )",
      "DEBUG|Cutting. (base string: )",
      "DEBUG|Open method list. (name: " + methods + "shop.csv)",
      "SIMPLE|Device open.",
      "SIMPLE|Update the name of the test case. (Test name: Login)",
      "SIMPLE|Update the name of the test case. (Test name: " + cwdName + ")",
      "SIMPLE|Device close.",
  };
  EXPECT_THAT(ReadLogLines(base + "log.txt"), ElementsAreArray(expected));
  EXPECT_FALSE(ostrivel::testing::FileExists(base + "result.csv"));
}

TEST(ExportsTest, OnlyTheSevenFunctionsAreExported) {
  std::string command = std::string("nm -D --defined-only '") +
                        OSTRIVEL_LIBRARY_PATH + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    output.append(buffer, n);
  }
  int status = pclose(pipe);
  if (status != 0 && output.empty()) GTEST_SKIP() << "nm is not available";

  std::vector<std::string> symbols;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    std::size_t blank = line.find_last_of(' ');
    if (!line.empty()) symbols.push_back(line.substr(blank + 1));
    start = end + 1;
  }
  EXPECT_THAT(symbols, UnorderedElementsAre(kInit, kOpen, kStartNewTestCase,
                                            kSetTestName, kGetCurrentPath,
                                            kGetCollectedInformation, kClose));
}

}  // namespace
