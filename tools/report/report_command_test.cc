#include "tools/report/report_command.h"

#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/report/library_results.h"

namespace ostrivel::report {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

SourceOptions Sources(std::string config, std::string results,
                      std::string traces = "", std::string methods = "") {
  SourceOptions options;
  options.config = std::move(config);
  options.results = std::move(results);
  options.traces = std::move(traces);
  options.methods = std::move(methods);
  return options;
}

Locations Resolve(const SourceOptions& options) {
  std::string error;
  std::optional<Locations> locations = ResolveLocations(options, &error);
  EXPECT_TRUE(locations) << error;
  return locations.value_or(Locations{});
}

TEST(ResolveLocationsTest, WithoutAConfigurationTheResultFileShowsTheWay) {
  Locations locations = Resolve({});
  EXPECT_EQ(locations.results, "C:/Coverage/result.csv");
  EXPECT_EQ(locations.tracePrefix, "C:/Coverage/");
  EXPECT_EQ(locations.methodsDirectory, "C:/Coverage/methods/");

  locations = Resolve(Sources("", "/runs/7/result.csv"));
  EXPECT_EQ(locations.tracePrefix, "/runs/7/");
  EXPECT_EQ(locations.methodsDirectory, "/runs/7/methods/");

  locations = Resolve(Sources("", "result.csv", "", "/m/"));
  EXPECT_EQ(locations.tracePrefix, "");
  EXPECT_EQ(locations.methodsDirectory, "/m/");
}

TEST(ResolveLocationsTest, AConfigurationFileIsReadLikeTheLibraryReadsIt) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("a.conf"),
                     "res_location: /out/r.csv\r\n"
                     "base_location : /out/traces/run1_\r\n");
  Locations locations = Resolve(Sources(dir.File("a.conf"), ""));
  EXPECT_EQ(locations.results, "/out/r.csv");
  EXPECT_EQ(locations.tracePrefix, "/out/traces/run1_");
  // The library's default, not the result file's folder.
  EXPECT_EQ(locations.methodsDirectory, "C:/Coverage/methods/");

  locations = Resolve(Sources(dir.File("a.conf"), "", "/t/"));
  EXPECT_EQ(locations.tracePrefix, "/t/");

  std::string error;
  EXPECT_FALSE(ResolveLocations(Sources(dir.File("none.conf"), ""), &error));
  EXPECT_THAT(error, HasSubstr("none.conf\" cannot be read"));
}

// The program itself, run on results the library wrote.
class ReportProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    results_.AddMethodList(
        "Shop", {"0x1;shop::checkout();shop", "0x2;shop::browse();shop"});
    results_.RunTest("Buy", {{"Shop", {4, 0}}});
    results_.RunTest("Look", {{"Shop", {1, 2}}});
    results_.AppendToResults("Half;Shop;1");
  }

  // Runs ostrivel-report with "arguments"; returns the exit code and fills
  // output_ and errors_.
  int Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {OSTRIVEL_REPORT_PATH, "--results",
                                         results_.locations().results});
    tools::testing::ChildProcess child;
    EXPECT_TRUE(child.Start(arguments));
    output_.clear();
    while (auto line = child.ReadLine()) output_ += *line + "\n";
    errors_ = child.ReadAllErrors();
    std::optional<int> status = child.Wait();
    return status ? tools::testing::ExitCode(*status) : -1;
  }

  LibraryResults results_;
  std::string output_;
  std::string errors_;
};

TEST_F(ReportProgramTest, AnswersQueriesWithExitCodesForScripts) {
  EXPECT_EQ(Run({"tests-for", "Shop", "checkout"}), 0);
  EXPECT_EQ(output_, "Buy\t4\nLook\t1\n");
  EXPECT_THAT(errors_, HasSubstr("result.csv:4: row not used: the row has no "
                                 "line end: it may still be being written: "
                                 "Half;Shop;1\n"));

  EXPECT_EQ(Run({"tests-for", "Shop", "nothing"}), 1);
  EXPECT_EQ(output_, "");

  EXPECT_EQ(Run({"uncovered", "Shop"}), 0);
  EXPECT_EQ(output_, "");

  EXPECT_EQ(Run({"tests-for", "Shop"}), 2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
}

// The list holds a method and its scope in separate fields; people type
// them joined, as the code names them.
class QualifiedNameTest : public ReportProgramTest {
 protected:
  void SetUp() override {
    results_.AddMethodList(
        "Store", {"0x1;Add(int);shop::Cart", "0x2;Add(int);shop::Receipt",
                  "0x3;Clear();shop::Cart", "0x4;main;"});
    results_.RunTest("Fill", {{"Store", {2, 0, 0, 1}}});
    results_.RunTest("Print", {{"Store", {0, 3, 0, 1}}});
    results_.RunTest("Empty", {{"Store", {0, 0, 1, 1}}});
  }
};

TEST_F(QualifiedNameTest, TestsForMatchesTheQualifiedName) {
  struct Case {
    std::vector<std::string> query;
    int exitCode;
    std::string output;
  };
  for (const Case& c : std::vector<Case>{
           {{"Cart::Add"}, 0, "Fill\t2\n"},
           {{"shop::Cart::Add(int)"}, 0, "Fill\t2\n"},
           {{"Cart::"}, 0, "Fill\t2\nEmpty\t1\n"},
           {{"::Add"}, 0, "Fill\t2\nPrint\t3\n"},
           {{"cart::add"}, 1, ""},
           {{"--ignore-case", "cart::add"}, 0, "Fill\t2\n"},
           // The line as before.
           {{"Add(int);shop::Receipt"}, 0, "Print\t3\n"},
           {{"main"}, 0, "Fill\t1\nPrint\t1\nEmpty\t1\n"},
           // Nothing joins fields that are not a method and its scope.
           {{"0x1;Add"}, 0, "Fill\t2\n"},
           {{"Cart::Add(int);"}, 1, ""},
       }) {
    std::vector<std::string> arguments{"tests-for", "Store"};
    arguments.insert(arguments.end(), c.query.begin(), c.query.end());
    EXPECT_EQ(Run(arguments), c.exitCode) << c.query.back();
    EXPECT_EQ(output_, c.output) << c.query.back();
  }
  EXPECT_EQ(Run({"tests-for", "Store", "Cart::Add", "--each-method"}), 0);
  EXPECT_EQ(output_, "Fill\t2\t0x1;Add(int);shop::Cart\n");
}

// With no usable row of the application, neither query may answer as if
// every method were unreached or no test were affected.
TEST_F(ReportProgramTest, QueriesWithoutAUsableRowFail) {
  results_.AddMethodList("Admin", {"0x1;admin::login();admin"});
  const std::string kNoRow =
      "ostrivel-report: no usable row of \"Admin\" in the results: nothing "
      "can be said about its methods\n";
  for (std::vector<std::string> query :
       {std::vector<std::string>{"tests-for", "Admin", "login"},
        std::vector<std::string>{"uncovered", "Admin"}}) {
    EXPECT_EQ(Run(query), 2) << query[0];
    EXPECT_EQ(output_, "") << query[0];
    EXPECT_THAT(errors_, HasSubstr(kNoRow)) << query[0];
  }
}

TEST_F(ReportProgramTest, HelpNamesTheQueries) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_THAT(output_, HasSubstr("tests-for"));
}

TEST_F(ReportProgramTest, WritesThePage) {
  EXPECT_EQ(Run({"html", results_.File("report.html")}), 0);
  EXPECT_EQ(output_, "ostrivel-report: wrote " + results_.File("report.html") +
                         " (2 tests, 1 applications, 2 rows used, 1 not "
                         "used, 0 replaced by later rows)\n");
  EXPECT_THAT(testing::ReadFile(results_.File("report.html")),
              StartsWith("<!DOCTYPE html>"));

  EXPECT_EQ(Run({"html", results_.File("no/such/dir/report.html")}), 2);
  EXPECT_THAT(errors_, HasSubstr("no/such/dir/report.html"));
}

}  // namespace
}  // namespace ostrivel::report
