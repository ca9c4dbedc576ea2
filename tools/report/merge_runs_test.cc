#include "tools/report/merge_runs.h"

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/report/library_results.h"

namespace ostrivel::report {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::vector<std::string> kShop = {"0x1;shop::checkout();shop",
                                        "0x2;shop::browse();shop",
                                        "0x3;shop::pay();shop"};

// One shard's run: its method list for "Shop" and its tests in order.
struct RunPlan {
  std::vector<std::pair<std::string, std::vector<std::int32_t>>> tests;
  std::vector<std::string> methods = kShop;
  // Tests whose trace file is deleted after the run.
  std::vector<std::string> lostTraces = {};
  // Bytes appended to the result file after the run.
  std::string appended = "";
};

struct Outcome {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

// Runs ostrivel-report with "arguments".
Outcome Report(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{OSTRIVEL_REPORT_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  tools::testing::ChildProcess child;
  Outcome outcome;
  EXPECT_TRUE(child.Start(argv));
  while (auto line = child.ReadLine()) outcome.output += *line + "\n";
  outcome.errors = child.ReadAllErrors();
  std::optional<int> status = child.Wait();
  if (status) outcome.exitCode = tools::testing::ExitCode(*status);
  return outcome;
}

// The runs, written by the library one after the other (its state is per
// process), each in a folder of its own.
std::vector<std::unique_ptr<LibraryResults>> MakeRuns(
    const std::vector<RunPlan>& plans) {
  std::vector<std::unique_ptr<LibraryResults>> runs;
  for (const RunPlan& plan : plans) {
    auto run = std::make_unique<LibraryResults>();
    run->AddMethodList("Shop", plan.methods);
    for (const auto& [test, counts] : plan.tests) {
      run->RunTest(test, {{"Shop", counts}});
    }
    for (const std::string& test : plan.lostTraces) {
      std::filesystem::remove(TracePath(run->locations(), test, "Shop"));
    }
    run->AppendToResults(plan.appended);
    runs.push_back(std::move(run));
  }
  return runs;
}

// The result file without its header.
std::string Rows(const std::string& path) {
  std::string text = testing::ReadFile(path);
  return text.substr(text.find("\r\n") + 2);
}

struct MergeCase {
  const char* what;
  std::vector<RunPlan> runs;
  int exitCode;
  std::vector<std::string> errors;
};

TEST(MergeTest, CombinesRunsOrRefuses) {
  const std::string kLater =
      "ostrivel-report: merge: \"Buy\" of \"Shop\" from \"{top}run2\" replaces "
      "the one from \"{top}run1\"\n";
  for (const MergeCase& c : std::vector<MergeCase>{
           {"two runs",
            {{{{"Buy", {4, 0, 1}}, {"Look", {0, 2, 0}}}},
             {{{"Pay", {0, 0, 7}}}}},
            0,
            {}},
           {"three runs, the later wins",
            {{{{"Buy", {4, 0, 1}}, {"Look", {0, 2, 0}}}},
             {{{"Buy", {1, 1, 1}}}},
             {{{"Pay", {0, 0, 7}}, {"Look", {3, 0, 0}}}}},
            0,
            {kLater,
             "ostrivel-report: merge: \"Look\" of \"Shop\" from \"{top}run3\" "
             "replaces the one from \"{top}run1\"\n"}},
           {"a lost trace file",
            {{{{"Buy", {4, 0, 1}}, {"Look", {0, 2, 0}}},
              kShop,
              {"Look"},
              "Half;Shop;1"},
             {{{"Pay", {0, 0, 7}}}}},
            0,
            {"run1/result.csv:3: row not used: the trace file \"",
             "run1/result.csv:4: row not used: the row has no line end"}},
           {"odd names",
            {{{{"Buy \"now\" {0} 100%", {4, 0, 1}}, {"Größe über", {0, 2, 0}}}},
             {{{"a;b", {0, 0, 7}}, {"tab\there", {1, 0, 0}}}}},
            0,
            {"run2/result.csv:2: row not used: the row has 8 fields"}},
           {"different method lists",
            {{{{"Buy", {4, 0, 1}}}},
             {{{"Pay", {0, 7}}}, {"0x1;a;b", "0x2;c;d"}}},
            2,
            {"ostrivel-report: merge: \"{top}run1\" and \"{top}run2\" hold "
             "different "
             "method lists for \"Shop\": only runs of the same build can be "
             "merged\n"}},
       }) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<LibraryResults>> runs = MakeRuns(c.runs);
    testing::TempDir top;
    std::vector<std::string> arguments{"merge", "--into", top.File("merged")};
    std::string expectedRows;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      // Named "runN" in the messages through a link.
      std::string name = top.File(fmt::format("run{}", i + 1));
      std::filesystem::create_directory_symlink(
          runs[i]->locations().tracePrefix, name);
      arguments.push_back(name);
      expectedRows += Rows(runs[i]->locations().results);
      // A row cut short is ended, never glued to the next run's first.
      if (!c.runs[i].appended.empty()) expectedRows += "\r\n";
    }
    Outcome outcome = Report(arguments);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.errors;
    for (std::string error : c.errors) {
      std::size_t at = error.find("{top}");
      for (; at != std::string::npos; at = error.find("{top}", at)) {
        error.replace(at, 5, top.path());
      }
      EXPECT_THAT(outcome.errors, HasSubstr(error));
    }
    if (c.exitCode != 0) {
      EXPECT_FALSE(testing::FileExists(top.File("merged")));
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(top.path()),
                              std::filesystem::directory_iterator()),
                static_cast<std::ptrdiff_t>(runs.size()));
      continue;
    }
    EXPECT_THAT(outcome.output, HasSubstr("ostrivel-report: merged"));
    if (c.errors.empty()) {
      EXPECT_EQ(outcome.errors, "");
    }
    // The header once, then every row, byte for byte, in order.
    EXPECT_EQ(testing::ReadFile(top.File("merged/result.csv")),
              "Test name;Application name;Trace length;Coverage%;Runtime "
              "(ms);Covered Methods' IDs;Not Covered Methods' IDs\r\n" +
                  expectedRows);
    EXPECT_EQ(testing::ReadFile(top.File("merged/methods/list0.csv")),
              testing::ReadFile(runs[0]->File("methods/list0.csv")));
    // Each trace file from the last run that ran the test.
    Locations merged{top.File("merged/result.csv"), top.File("merged/"), ""};
    for (std::size_t i = runs.size(); i-- > 0;) {
      for (const auto& [test, counts] : c.runs[i].tests) {
        bool later = false;
        for (std::size_t j = i + 1; j < runs.size(); ++j) {
          for (const auto& other : c.runs[j].tests) {
            later = later || other.first == test;
          }
        }
        // A name holding ";" shifts the columns: no trace file belongs to it.
        if (later || test.find(';') != std::string::npos) continue;
        EXPECT_EQ(
            testing::ReadFile(TracePath(merged, test, "Shop")),
            testing::ReadFile(TracePath(runs[i]->locations(), test, "Shop")))
            << test;
      }
    }
  }
}

TEST(MergeTest, LeavesAFolderThatIsNotEmptyAlone) {
  std::vector<std::unique_ptr<LibraryResults>> runs =
      MakeRuns({{{{"Buy", {4, 0, 1}}}}});
  testing::TempDir into;
  testing::WriteFile(into.File("notes.txt"), "mine");
  Outcome outcome = Report(
      {"merge", "--into", into.path(), runs[0]->locations().tracePrefix});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.errors, HasSubstr("exists and is not an empty folder"));
  EXPECT_EQ(testing::ReadFile(into.File("notes.txt")), "mine");
  EXPECT_FALSE(testing::FileExists(into.File("result.csv")));

  // An empty folder is taken.
  std::filesystem::remove(into.File("notes.txt"));
  outcome = Report(
      {"merge", "--into", into.path(), runs[0]->locations().tracePrefix});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.errors;
  EXPECT_EQ(testing::ReadFile(into.File("result.csv")),
            testing::ReadFile(runs[0]->locations().results));
}

// The merged folder answers as one run of all the tests would.
TEST(MergeTest, EveryCommandReadsTheMergedFolder) {
  const std::vector<std::string> kMethods = {
      "0x1;Add(int);shop::Cart", "0x2;Clear();shop::Cart", "0x3;main;",
      "0x4;Never();shop::Cart"};
  const RunPlan kFirst{{{"Fill", {2, 0, 1, 0}}, {"Empty", {0, 1, 1, 0}}},
                       kMethods};
  const RunPlan kSecond{{{"Both", {5, 4, 1, 0}}}, kMethods};
  RunPlan all = kFirst;
  all.tests.insert(all.tests.end(), kSecond.tests.begin(), kSecond.tests.end());
  std::vector<std::unique_ptr<LibraryResults>> shards =
      MakeRuns({kFirst, kSecond});
  std::vector<std::unique_ptr<LibraryResults>> single = MakeRuns({all});

  testing::TempDir top;
  std::string merged = top.File("merged");
  ASSERT_EQ(Report({"merge", "--into", merged, shards[0]->locations().results,
                    shards[1]->locations().tracePrefix})
                .exitCode,
            0);
  std::string singleResults = single[0]->locations().results;
  std::string mergedResults = merged + "/result.csv";
  for (std::vector<std::string> query :
       {std::vector<std::string>{"tests-for", "Shop", "Cart::"},
        std::vector<std::string>{"tests-for", "Shop", "main", "-e"},
        std::vector<std::string>{"uncovered", "Shop"}}) {
    query.insert(query.begin(), {"--results", ""});
    query[1] = singleResults;
    Outcome expected = Report(query);
    query[1] = mergedResults;
    Outcome actual = Report(query);
    EXPECT_EQ(actual.exitCode, expected.exitCode) << query[2];
    EXPECT_EQ(actual.output, expected.output) << query[2];
    EXPECT_THAT(actual.output, Not(HasSubstr("\n\n")));
  }
  EXPECT_EQ(
      Report({"--results", singleResults, "html", top.File("a.html")}).exitCode,
      0);
  EXPECT_EQ(
      Report({"--results", mergedResults, "html", top.File("b.html")}).exitCode,
      0);
  // The pages differ only where they name the folders read.
  auto page = [](const std::string& path, const std::string& folder) {
    std::string text = testing::ReadFile(path);
    for (std::size_t at = text.find(folder); at != std::string::npos;
         at = text.find(folder, at)) {
      text.replace(at, folder.size(), "<run>/");
    }
    return text;
  };
  EXPECT_EQ(page(top.File("b.html"), merged + "/"),
            page(top.File("a.html"), single[0]->locations().tracePrefix));
}

TEST(MergeTest, RunsAreNamedOnTheCommandLineOnly) {
  Outcome outcome =
      Report({"--results", "x.csv", "merge", "--into", "out", "run1"});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.errors, HasSubstr("name each run as RUN_DIR"));
  outcome = Report({"merge", "--into", "out"});
  EXPECT_EQ(outcome.exitCode, 2);
  testing::TempDir top;
  outcome = Report({"merge", "--into", top.File("out"), top.File("none")});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(outcome.errors, HasSubstr("none\" cannot be read"));
  EXPECT_FALSE(testing::FileExists(top.File("out")));
}

}  // namespace
}  // namespace ostrivel::report
