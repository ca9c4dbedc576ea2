#include "tools/report/collected_results.h"

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "formats/trace_format.h"
#include "tools/report/library_results.h"
#include "tools/report/report_builder.h"
#include "tools/report/report_command.h"
#include "tools/report/result_rows.h"
#include "tools/report/trace_rows.h"

namespace ostrivel::report {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::vector<std::string> kShop = {
    "0x10;shop::Cart::add(int);shop",
    "0x20;shop::Cart::checkout();shop",
    "0x30;shop::Payment::charge(long);shop",
    "0x40;shop::Checkout::confirm();shop",
    "0x50;shop::Admin::purge();shop",
};
const std::vector<std::string> kAuth = {
    "0x1;auth::login();auth",
    "0x2;auth::logout();auth",
};

// Three tests over two applications, written by the library:
//   Login  Shop 0 0 0 0 0  Auth 3 0
//   Buy    Shop 2 1 1 4 0  Auth 1 1
//   Browse Shop 5 0 0 0 0  Auth 1 0
class ReportOverLibraryResults : public ::testing::Test {
 protected:
  void SetUp() override {
    results_.AddMethodList("Shop", kShop);
    results_.AddMethodList("Auth", kAuth);
    results_.RunTest("Login", {{"Shop", {0, 0, 0, 0, 0}}, {"Auth", {3, 0}}},
                     120);
    results_.RunTest("Buy", {{"Shop", {2, 1, 1, 4, 0}}, {"Auth", {1, 1}}},
                     2500);
    results_.RunTest("Browse", {{"Shop", {5, 0, 0, 0, 0}}, {"Auth", {1, 0}}},
                     800);
  }

  Report Build() {
    Report report;
    std::string error;
    EXPECT_TRUE(BuildReport(results_.locations(), &report, &error)) << error;
    return report;
  }

  // Runs a query command; returns its exit code, output in out_, errors in
  // err_.
  int TestsFor(const std::string& application, const std::string& pattern,
               bool ignoreCase = false, bool eachMethod = false) {
    out_.str("");
    err_.str("");
    return RunTestsFor(results_.locations(), application, pattern, ignoreCase,
                       eachMethod, out_, err_);
  }
  int Uncovered(const std::string& application) {
    out_.str("");
    err_.str("");
    return RunUncovered(results_.locations(), application, out_, err_);
  }

  std::vector<std::string> RefusalReasons(const Report& report) {
    std::vector<std::string> reasons;
    for (const RefusedRow& row : report.refused) {
      reasons.push_back(std::to_string(row.line) + ": " + row.reason);
    }
    return reasons;
  }

  LibraryResults results_;
  Report report_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(ReportOverLibraryResults, AggregatesWhoReachesWhat) {
  Report report = Build();
  EXPECT_THAT(report.refused, IsEmpty());
  EXPECT_EQ(report.replacedRows, 0u);
  ASSERT_EQ(report.applications.size(), 2u);
  const Application& auth = report.applications[0];
  const Application& shop = report.applications[1];
  EXPECT_EQ(auth.name, "Auth");
  EXPECT_EQ(shop.name, "Shop");
  EXPECT_EQ(shop.methods, kShop);
  EXPECT_THAT(shop.testsReaching, ElementsAre(2, 1, 1, 1, 0));
  EXPECT_THAT(auth.testsReaching, ElementsAre(3, 1));
  EXPECT_EQ(shop.reached, 4u);
  EXPECT_EQ(shop.totalCalls, 13);
  EXPECT_EQ(auth.totalCalls, 6);
  EXPECT_EQ(shop.rows, 3u);

  ASSERT_EQ(report.tests.size(), 3u);
  EXPECT_EQ(report.tests[0].name, "Login");
  EXPECT_EQ(report.tests[1].name, "Buy");
  EXPECT_EQ(report.tests[2].name, "Browse");

  // Most calls first; equal calls in test order.
  auto top = [](const Application& application, std::size_t method) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> pairs;
    for (const TestCalls& entry : application.topTests[method]) {
      pairs.emplace_back(entry.test, entry.calls);
    }
    return pairs;
  };
  using P = std::pair<std::uint32_t, std::int64_t>;
  EXPECT_THAT(top(shop, 0), ElementsAre(P{2, 5}, P{1, 2}));
  EXPECT_THAT(top(auth, 0), ElementsAre(P{0, 3}, P{1, 1}, P{2, 1}));
  EXPECT_THAT(top(shop, 4), IsEmpty());

  const report::Test& buy = report.tests[1];
  using M = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_THAT(buy.onlyThisTest,
              ElementsAre(M{0, 1}, M{1, 1}, M{1, 2}, M{1, 3}));
  EXPECT_EQ(buy.cells[1].onlyThisTest, 3u);
  EXPECT_EQ(buy.cells[1].covered, 4u);
  EXPECT_EQ(buy.cells[1].methods, 5u);
  EXPECT_EQ(buy.cells[1].traceLength, 8);
  EXPECT_DOUBLE_EQ(buy.cells[1].Coverage(), 80.0);
  EXPECT_EQ(buy.runtimeText, "2500");
  const report::Test& login = report.tests[0];
  EXPECT_TRUE(login.cells[1].present);
  EXPECT_EQ(login.cells[1].covered, 0u);
  EXPECT_THAT(login.onlyThisTest, IsEmpty());
}

TEST_F(ReportOverLibraryResults, TestsForListsTheTestsThatCallMatchingMethods) {
  EXPECT_EQ(TestsFor("Shop", "checkout"), kDone);
  EXPECT_EQ(out_.str(), "Buy\t1\n");
  EXPECT_EQ(err_.str(), "");

  EXPECT_EQ(TestsFor("Shop", "checkout", /*ignoreCase=*/true), kDone);
  EXPECT_EQ(out_.str(), "Buy\t5\n");

  EXPECT_EQ(TestsFor("Shop", "checkout", true, /*eachMethod=*/true), kDone);
  EXPECT_EQ(out_.str(),
            "Buy\t1\t0x20;shop::Cart::checkout();shop\n"
            "Buy\t4\t0x40;shop::Checkout::confirm();shop\n");

  EXPECT_EQ(TestsFor("Auth", "login"), kDone);
  EXPECT_EQ(out_.str(), "Login\t3\nBuy\t1\nBrowse\t1\n");

  EXPECT_EQ(TestsFor("Shop", "purge"), kNoTestFound);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ReportOverLibraryResults, QueriesNameUnknownApplications) {
  EXPECT_EQ(TestsFor("Bank", "x"), kCannotRead);
  EXPECT_THAT(err_.str(), HasSubstr("names the application \"Bank\"; known: "
                                    "Auth, Shop"));
  EXPECT_EQ(Uncovered("Bank"), kCannotRead);
}

TEST_F(ReportOverLibraryResults, UncoveredPrintsTheMethodLinesNoTestReaches) {
  EXPECT_EQ(Uncovered("Shop"), kDone);
  EXPECT_EQ(out_.str(), "0x50;shop::Admin::purge();shop\n");
  EXPECT_EQ(Uncovered("Auth"), kDone);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ReportOverLibraryResults, OnlyTheLatestRowOfATestCounts) {
  // A second run of Browse reaches purge instead; the earlier rows stay in
  // the result file, the trace files hold the second run.
  results_.RunTest("Browse", {{"Shop", {0, 0, 0, 0, 7}}, {"Auth", {1, 0}}});
  Report report = Build();
  EXPECT_THAT(report.refused, IsEmpty());
  EXPECT_EQ(report.replacedRows, 2u);
  EXPECT_THAT(report.applications[1].testsReaching, ElementsAre(1, 1, 1, 1, 1));
  EXPECT_EQ(report.tests.size(), 3u);
  EXPECT_EQ(Uncovered("Shop"), kDone);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ReportOverLibraryResults, RowsWithoutAUsableTraceFileAreRefused) {
  // Line numbers: 1 header, 2-7 the three tests.
  // 8: the library had no method list for Bank (no trace file).
  results_.AddMethodList("Bank", {"b0", "b1"}, /*libraryLoadsIt=*/false);
  results_.RunTest("Pay", {{"Bank", {1, 1}}});
  // 9: the counts and the list differed in length (no trace file).
  results_.RunTest("Refund", {{"Shop", {1, 0, 0, 0, 0, 1}}});
  // 10: no method list names Legacy now.
  results_.SetLibraryList("Legacy", {"l0"});
  results_.RunTest("Old", {{"Legacy", {1}}});
  // 11: a test name holding ";" shifts the columns.
  results_.RunTest("Pay;Twice", {{"Auth", {1, 0}}});

  Report report = Build();
  EXPECT_THAT(
      RefusalReasons(report),
      ElementsAre(
          "8: the trace file \"" + results_.File("Pay_Bank_trace.csv") +
              "\" is missing",
          "9: the method list of \"Shop\" has 5 methods, the row 6: the "
          "library writes no trace file when they differ",
          "10: no method list names the application \"Legacy\": the library "
          "writes no trace file without one",
          "11: the row has 8 fields instead of 7: a test or application name "
          "holds \";\""));
  EXPECT_EQ(report.refused[3].row, "Pay;Twice;Auth;1;50;1500;0;1");
  // The usable rows are still all there.
  EXPECT_EQ(report.tests.size(), 3u);
  EXPECT_EQ(report.applications[0].name, "Auth");
  EXPECT_EQ(report.applications[0].rows, 3u);

  // The queries name the refused rows of their application on standard
  // error, with the row.
  EXPECT_EQ(TestsFor("Shop", "add"), kDone);
  EXPECT_EQ(out_.str(), "Buy\t2\nBrowse\t5\n");
  EXPECT_EQ(err_.str(),
            "ostrivel-report: " + results_.File("result.csv") +
                ":9: row not used: the method list of \"Shop\" has 5 "
                "methods, the row 6: the library writes no trace file when "
                "they differ: Refund;Shop;2;33.3333;1500;0 5;1 2 3 4\n"
                "ostrivel-report: " +
                results_.File("result.csv") +
                ":11: row not used: the row has 8 fields instead of 7: a "
                "test or application name holds \";\": "
                "Pay;Twice;Auth;1;50;1500;0;1\n");
}

TEST_F(ReportOverLibraryResults, ATraceFileOfAnEarlierRunIsNotTakenForTheRow) {
  // The second run of Buy finds no method list for Shop, so Buy's Shop trace
  // file still holds the first run while the latest row is the second's.
  results_.DropLibraryList("Shop");
  results_.RunTest("Buy", {{"Shop", {0, 3, 0, 0, 0}}, {"Auth", {1, 1}}});
  Report report = Build();
  EXPECT_THAT(
      RefusalReasons(report),
      ElementsAre("9: the trace file \"" + results_.File("Buy_Shop_trace.csv") +
                  "\" holds 8 calls of 4 methods, the row 3 calls of "
                  "1: they come from different runs"));
  EXPECT_EQ(report.replacedRows, 2u);
  // Buy's latest usable row now comes after Browse's.
  ASSERT_EQ(report.tests.size(), 3u);
  EXPECT_EQ(report.tests[2].name, "Buy");
  EXPECT_FALSE(report.tests[2].cells[1].present);
  EXPECT_TRUE(report.tests[2].cells[0].present);
}

TEST_F(ReportOverLibraryResults, AMethodListChangedSinceTheRunIsNoticed) {
  testing::WriteFile(results_.File("methods/list0.csv"),
                     "ProjectName;Shop\n0x10;shop::Cart::add(int, int);shop\n"
                     "m1\nm2\nm3\nm4\n");
  Report report = Build();
  ASSERT_EQ(report.refused.size(), 2u);  // Buy and Browse call add
  EXPECT_EQ(report.refused[0].line, 5u);
  EXPECT_EQ(
      report.refused[0].reason,
      "the trace file \"" + results_.File("Buy_Shop_trace.csv") +
          "\" names \"0x10;shop::Cart::add(int);shop\" where the method "
          "list has \"0x10;shop::Cart::add(int, int);shop\" at position "
          "0: the method list changed since the run, or the trace file comes "
          "from another run");
}

TEST_F(ReportOverLibraryResults, DamagedTraceFilesAreRefused) {
  testing::WriteFile(results_.File("Buy_Shop_trace.csv"), "0x10;add;2\r\n");
  testing::WriteFile(
      results_.File("Browse_Shop_trace.csv"),
      std::string(formats::kTraceHeader) + "\r\n" + kShop[0] + ";five\r\n");
  EXPECT_THAT(
      RefusalReasons(report_ = Build()),
      ElementsAre("5: the trace file \"" + results_.File("Buy_Shop_trace.csv") +
                      "\" has no trace header",
                  "7: line 2 of the trace file \"" +
                      results_.File("Browse_Shop_trace.csv") +
                      "\" is no trace row"));
}

TEST_F(ReportOverLibraryResults, BrokenAndUnfinishedRowsAreRefused) {
  results_.AppendToResults(std::string(formats::kResultHeader) + "\r\n");
  results_.AppendToResults("\r\n");
  results_.AppendToResults("X;Shop;many;20;5;0;1 2 3 4\r\n");
  results_.AppendToResults("Y;Shop;1;20;5;0;1 2 4 5\r\n");
  results_.AppendToResults("Z;Shop;1;20;5;0;1 2 3");
  Report report = Build();
  EXPECT_THAT(
      RefusalReasons(report),
      ElementsAre(
          "9: the line is empty",
          "10: the trace length, coverage or runtime is not a number",
          "11: the covered and not covered methods do not list every "
          "position once",
          "12: the row has no line end: it may still be being written"));
  EXPECT_EQ(report.tests.size(), 3u);
}

TEST(ReportSourcesTest, ACleanRunWithoutResultsIsAnError) {
  LibraryResults results;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunUncovered(results.locations(), "Shop", out, err), kCannotRead);
  EXPECT_THAT(err.str(), HasSubstr("names the application \"Shop\""));
  results.AddMethodList("Shop", kShop);
  EXPECT_EQ(RunUncovered(results.locations(), "Shop", out, err), kCannotRead);
  EXPECT_THAT(err.str(), HasSubstr("result.csv\" cannot be read"));
}

}  // namespace
}  // namespace ostrivel::report
