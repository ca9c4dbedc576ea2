// Automatic counting in every module of a process: a shared library under
// test linked into two programs and loaded by a third, listed by
// ostrivel-methods alone or together with the programs, and counted by the
// service.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "formats/method_list_format.h"
#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/collection_service/collection_service.h"

namespace ostrivel::probe {
namespace {

using ostrivel::testing::FileExists;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using tools::testing::ActionRequest;
using tools::testing::ChildProcess;
using tools::testing::ExitCode;
using tools::testing::HttpClient;
using tools::testing::ProgramRun;
using tools::testing::RunProgram;

// Counts by line label: the method's name, with "#2" for the second line of
// that name in the list.
using Counts = std::map<std::string, std::int64_t>;

// The lists every test starts with: "Shared" of the library and all three
// programs, "Lib" of the library alone, "User" of the first program alone.
class ProbeModulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(methods_);
    ListOrFail({OSTRIVEL_SAMPLE_LIBRARY, OSTRIVEL_LIBRARY_USER,
                OSTRIVEL_SECOND_USER, OSTRIVEL_LIBRARY_LOADER},
               "Shared", "shared.csv");
    ListOrFail({OSTRIVEL_SAMPLE_LIBRARY}, "Lib", "lib.csv");
    ListOrFail({OSTRIVEL_LIBRARY_USER}, "User", "user.csv");
  }

  void TearDown() override {
    if (serving_.joinable()) {
      service_.Stop();
      serving_.join();
    }
  }

  void ListOrFail(const std::vector<std::string>& binaries,
                  const std::string& application, const std::string& name) {
    std::vector<std::string> argv{OSTRIVEL_METHODS_PATH};
    for (const std::string& binary : binaries) {
      argv.insert(argv.end(), {"--binary", binary});
    }
    argv.insert(argv.end(), {"--application", application, "--output",
                             List(name), "--include", "^(Lib|Helper|main)"});
    ProgramRun run = RunProgram(argv);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    ASSERT_EQ(run.errors, "");
  }

  std::string List(const std::string& name) { return methods_ + name; }

  // The label of each line of the list "name", in order.
  std::vector<std::string> Labels(const std::string& name) {
    std::string error;
    auto file = formats::ReadMethodListFile(List(name), &error);
    EXPECT_TRUE(file.has_value()) << error;
    std::vector<std::string> labels;
    std::map<std::string, int> seen;
    for (const std::string& line :
         file ? file->lines : std::vector<std::string>()) {
      std::string method = line.substr(line.find(';') + 1);
      method = method.substr(0, method.find(';'));
      int occurrence = ++seen[method];
      labels.push_back(
          occurrence == 1 ? method : method + "#" + std::to_string(occurrence));
    }
    return labels;
  }

  void StartService() {
    collection::ServiceOptions options;
    options.port = 0;
    options.methodsDirectory = methods_;
    options.channel = channel_;
    std::string error;
    log_.Silence();
    ASSERT_TRUE(service_.Start(options, &error)) << error;
    serving_ = std::thread([this] { service_.Run(); });
    ASSERT_TRUE(client_.Connect(service_.port()));
  }

  // The service's answer to "action": each application's counts by label.
  std::map<std::string, Counts> Ask(const char* action) {
    std::map<std::string, Counts> counts;
    EXPECT_TRUE(client_.Send(ActionRequest(service_.port(), action)));
    auto answer = client_.Receive();
    if (!answer) {
      ADD_FAILURE() << "no answer";
      return counts;
    }
    boost::json::value body = boost::json::parse(answer->body);
    if (!body.as_object().contains("data")) return counts;
    const char* lists[][2] = {
        {"Shared", "shared.csv"}, {"Lib", "lib.csv"}, {"User", "user.csv"}};
    for (const auto& [application, file] : lists) {
      auto values = body.at("data").at(application).as_array();
      std::vector<std::string> labels = Labels(file);
      EXPECT_EQ(values.size(), labels.size()) << application;
      for (std::size_t i = 0; i < values.size() && i < labels.size(); ++i) {
        counts[application][labels[i]] = values[i].as_int64();
      }
    }
    return counts;
  }

  ProgramRun RunCounted(std::vector<std::string> argv,
                        const std::string& lists) {
    return RunProgram(argv, {"OSTRIVEL_CHANNEL=" + channel_,
                             "OSTRIVEL_METHOD_LIST=" + lists});
  }

  TempDir dir_;
  std::string methods_ = dir_.File("methods/");
  std::string channel_ =
      "modules" + std::to_string(::getpid()) +
      ::testing::UnitTest::GetInstance()->current_test_info()->name();
  collection::ServiceLog log_;
  collection::CollectionService service_{&log_};
  std::thread serving_;
  HttpClient client_;
};

TEST_F(ProbeModulesTest, SeveralBinariesMakeOneListWithEachFunctionOnce) {
  // The library's functions first; main of the three programs is one
  // function, the static Helper of the library another than the programs'
  // (of another source file), and the programs' one is one (of one file).
  std::vector<std::string> labels = Labels("shared.csv");
  ASSERT_EQ(labels.size(), 7u);
  std::sort(labels.begin(), labels.begin() + 5);
  std::sort(labels.begin() + 5, labels.end());
  EXPECT_EQ(labels, (std::vector<std::string>{"Helper", "LibAlpha", "LibBeta",
                                              "LibGamma", "LibName", "Helper#2",
                                              "main"}));
  std::string error;
  auto list = formats::ReadMethodListFile(List("shared.csv"), &error);
  ASSERT_TRUE(list.has_value()) << error;
  for (const std::string& line : list->lines) {
    EXPECT_TRUE(std::regex_match(line, std::regex("sym:[0-9a-f]{16};.*")))
        << line;
  }
  // No one build ID for several binaries: the module table names each.
  EXPECT_FALSE(FileExists(List("shared.csv.build-id")));
  std::string table = ReadFile(List("shared.csv.modules"));
  EXPECT_TRUE(std::regex_search(
      table, std::regex("^ostrivel-modules 1\nmodule library [0-9a-f]{40} "
                        "libprobe_sample_library.so\n")))
      << table;
  EXPECT_NE(table.find(" probe_library_loader\n"), std::string::npos);
  // A program's own list is found by its build ID alone, as before.
  EXPECT_TRUE(FileExists(List("user.csv.build-id")));
  EXPECT_FALSE(FileExists(List("user.csv.modules")));
  EXPECT_TRUE(FileExists(List("lib.csv.modules")));
}

struct ModulesCase {
  const char* label;
  std::vector<std::string> argv;
  std::string lists;  // OSTRIVEL_METHOD_LIST, list names joined by ':'
  std::map<std::string, Counts> expected;  // every other count is 0
};

void PrintTo(const ModulesCase& test, std::ostream* out) { *out << test.label; }

class ProbeModulesCountTest
    : public ProbeModulesTest,
      public ::testing::WithParamInterface<ModulesCase> {};

TEST_P(ProbeModulesCountTest, EachModuleCountsIntoItsListsPositions) {
  const ModulesCase& param = GetParam();
  StartService();
  Ask("NEWTC");
  std::string lists;
  std::size_t at = 0;
  while (at <= param.lists.size()) {
    std::size_t end = std::min(param.lists.find(':', at), param.lists.size());
    lists +=
        (lists.empty() ? "" : ":") + List(param.lists.substr(at, end - at));
    at = end + 1;
  }
  ProgramRun run = RunCounted(param.argv, lists);
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  std::map<std::string, Counts> counts = Ask("ASK");
  ASSERT_EQ(counts.size(), 3u);
  for (const auto& [application, byLabel] : counts) {
    for (const auto& [label, count] : byLabel) {
      std::int64_t expected = 0;
      auto list = param.expected.find(application);
      if (list != param.expected.end() && list->second.count(label) != 0) {
        expected = list->second.at(label);
      }
      EXPECT_EQ(count, expected) << application << " " << label;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProbeModulesCountTest,
    ::testing::Values(
        ModulesCase{"FirstProgramLinkingTheLibrary",
                    {OSTRIVEL_LIBRARY_USER, "5"},
                    "shared.csv",
                    {{"Shared",
                      {{"main", 1},
                       {"LibAlpha", 5},
                       {"LibBeta", 5},
                       {"Helper", 5},
                       {"Helper#2", 10}}}}},
        ModulesCase{
            "SecondProgramLinkingTheLibrary",
            {OSTRIVEL_SECOND_USER, "7"},
            "shared.csv",
            {{"Shared", {{"main", 1}, {"LibGamma", 7}, {"Helper#2", 7}}}}},
        ModulesCase{
            "ProgramLoadingTheLibrary",
            {OSTRIVEL_LIBRARY_LOADER, OSTRIVEL_SAMPLE_LIBRARY, "4"},
            "shared.csv",
            {{"Shared",
              {{"main", 1}, {"LibAlpha", 4}, {"LibBeta", 4}, {"Helper", 4}}}}},
        // The other build, loaded after the library was closed, is listed
        // nowhere, though its functions may lie where the library's were.
        ModulesCase{
            "ProgramLoadingAnotherBuildAfterClosingIt",
            {OSTRIVEL_LIBRARY_LOADER, OSTRIVEL_SAMPLE_LIBRARY, "4",
             OSTRIVEL_OTHER_LIBRARY},
            "shared.csv",
            {{"Shared",
              {{"main", 1}, {"LibAlpha", 4}, {"LibBeta", 4}, {"Helper", 4}}}}},
        ModulesCase{
            "LibraryListOfALoadedLibrary",
            {OSTRIVEL_LIBRARY_LOADER, OSTRIVEL_SAMPLE_LIBRARY, "2"},
            "lib.csv",
            {{"Lib", {{"LibAlpha", 2}, {"LibBeta", 2}, {"Helper", 2}}}}},
        ModulesCase{
            "ProgramAndLibraryEachWithItsOwnList",
            {OSTRIVEL_LIBRARY_USER, "3"},
            "user.csv:lib.csv",
            {{"User", {{"main", 1}, {"Helper", 6}}},
             {"Lib", {{"LibAlpha", 3}, {"LibBeta", 3}, {"Helper", 3}}}}}),
    [](const auto& test) { return std::string(test.param.label); });

TEST_F(ProbeModulesTest, AListOfAnotherBuildOfALibraryIsToldAndLeftOut) {
  // As if the library had been rebuilt after its list was written.
  std::string table = ReadFile(List("lib.csv.modules"));
  table =
      std::regex_replace(table, std::regex("library [0-9a-f]{40}"),
                         "library 0123456789abcdef0123456789abcdef01234567");
  WriteFile(List("lib.csv.modules"), table);
  StartService();
  ProgramRun run = RunCounted({OSTRIVEL_LIBRARY_USER, "3"},
                              List("user.csv") + ":" + List("lib.csv"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(std::regex_match(
      run.errors,
      std::regex("ostrivel-probe: automatic counting is off: the method list "
                 "\"" +
                 List("lib.csv") +
                 "\" is stale for \"libprobe_sample_library.so\": it was made "
                 "for build ID 0123456789abcdef0123456789abcdef01234567, the "
                 "loaded file has build ID [0-9a-f]{40} \\(run "
                 "ostrivel-methods again\\)\n")))
      << run.errors;
  // The program's own list still counts.
  std::map<std::string, Counts> counts = Ask("ASK");
  EXPECT_EQ(counts["User"]["Helper"], 6);
  EXPECT_EQ(counts["Lib"]["LibAlpha"], 0);
}

struct NoListCase {
  const char* label;
  bool serviceRunning;
  std::string errors;
};

void PrintTo(const NoListCase& test, std::ostream* out) { *out << test.label; }

class ProbeNoListTest : public ProbeModulesTest,
                        public ::testing::WithParamInterface<NoListCase> {};

TEST_P(ProbeNoListTest, AnUnsetListIsToldOnlyDuringACoverageRun) {
  if (GetParam().serviceRunning) StartService();
  ProgramRun run = RunCounted({OSTRIVEL_LIBRARY_USER, "100"}, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.errors, GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ProbeNoListTest,
    ::testing::Values(
        NoListCase{"ServiceCounting", true,
                   "ostrivel-probe: automatic counting is off: "
                   "OSTRIVEL_METHOD_LIST is not set (set it to the program's "
                   "method list written by ostrivel-methods)\n"},
        NoListCase{"NoService", false, ""}),
    [](const auto& test) { return std::string(test.param.label); });

}  // namespace
}  // namespace ostrivel::probe
