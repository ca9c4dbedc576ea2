#include "tools/report/html/html_report.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace ostrivel::report {
namespace {

namespace json = boost::json;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kHostile = "<script>alert(\"x\")</script>'";

Cell MakeCell(std::int64_t traceLength, std::uint32_t covered,
              std::uint32_t methods, std::uint32_t onlyThisTest) {
  Cell cell;
  cell.present = true;
  cell.traceLength = traceLength;
  cell.covered = covered;
  cell.methods = methods;
  cell.onlyThisTest = onlyThisTest;
  return cell;
}

Test MakeTest(std::string name, std::string runtime, std::vector<Cell> cells) {
  Test test;
  test.name = std::move(name);
  test.runtimeText = std::move(runtime);
  test.runtime = std::stod(test.runtimeText);
  test.cells = std::move(cells);
  return test;
}

// Two applications and three tests: "Login" runs in both, the hostile test
// only in Shop, "Ping" only in Web.
Report SmallReport() {
  Report report;
  report.resultPath = "/data/result.csv";
  report.tracePrefix = "/data/traces/";
  report.methodsDirectory = "/data/methods/";
  report.keptTestsPerMethod = 2;

  Application shop;
  shop.name = "Shop";
  shop.methods = {"0x1;Shop::Checkout(Cart const&);shop",
                  "0x2;Shop::Pay<Card>();shop", "0x3;Shop::Unused();shop",
                  "0x4;Shop::Audit();shop"};
  shop.testsReaching = {3, 1, 0, 2};
  shop.topTests = {{{1, 9}, {0, 4}}, {{0, 7}}, {}, {{0, 1}, {1, 1}}};
  shop.reached = 3;
  shop.totalCalls = 22;
  shop.rows = 2;

  Application web;
  web.name = "Web";
  web.methods = {"w0", "w1"};
  web.testsReaching = {2, 0};
  web.topTests = {{{0, 2}, {2, 1}}, {}};
  web.reached = 1;
  web.totalCalls = 3;
  web.rows = 2;
  report.applications = {shop, web};

  Cell missing;
  report.tests = {
      MakeTest("Login", "1500", {MakeCell(12, 3, 4, 1), MakeCell(2, 1, 2, 0)}),
      MakeTest(std::string(kHostile), "250", {MakeCell(10, 2, 4, 0), missing}),
      MakeTest("Ping", "1.41e+06", {missing, MakeCell(1, 1, 2, 0)})};
  report.tests[0].onlyThisTest = {{0, 1}};
  return report;
}

class HtmlReportTest : public ::testing::Test {
 protected:
  // Writes the page of "report" and returns it.
  std::string Page(const Report& report) {
    std::string error;
    EXPECT_TRUE(WriteHtmlReport(report, dir_.File("report.html"), &error))
        << error;
    return ReadFile(dir_.File("report.html"));
  }

  // The embedded data of a page, parsed.
  static json::value Data(const std::string& page) {
    const std::string start = "<script type=\"application/json\" id=\"data\">";
    std::size_t begin = page.find(start);
    EXPECT_NE(begin, std::string::npos);
    begin += start.size();
    std::size_t end = page.find("</script>", begin);
    return json::parse(page.substr(begin, end - begin));
  }

  // The part of the page from "start" to the next "end".
  static std::string Between(const std::string& page, std::string_view start,
                             std::string_view end) {
    std::size_t begin = page.find(start);
    if (begin == std::string::npos) return "<no " + std::string(start) + ">";
    return page.substr(begin, page.find(end, begin) - begin);
  }

  TempDir dir_;
};

TEST_F(HtmlReportTest, HostileTestNameIsEscapedInTableAndData) {
  std::string page = Page(SmallReport());
  std::string html = Between(page, "<body>", "<script");
  EXPECT_THAT(html, HasSubstr("<tr><td>&lt;script&gt;alert(&quot;x&quot;)"
                              "&lt;/script&gt;&#39;<td>250"));
  EXPECT_THAT(html, Not(HasSubstr("<script>alert")));
  EXPECT_THAT(page, HasSubstr("\"<script>alert(\\\"x\\\")<\\/script>'\""));
  EXPECT_EQ(Data(page).at("tests").at(1).as_string(), kHostile);
}

TEST_F(HtmlReportTest, NoTextEndsTheDataScriptEarly) {
  Report report = SmallReport();
  report.tests[2].name = "<!--<script>";
  report.applications[1].methods[1] = "</SCRIPT><script>alert(1)</script>";
  std::string page = Page(report);
  std::size_t scripts = 0;
  for (std::size_t at = page.find("</script>"); at != std::string::npos;
       at = page.find("</script>", at + 1)) {
    ++scripts;
  }
  EXPECT_EQ(scripts, 2u);  // the data and the script
  EXPECT_THAT(page, Not(HasSubstr("<!--")));
  json::value data = Data(page);
  EXPECT_EQ(data.at("tests").at(2).as_string(), "<!--<script>");
  EXPECT_EQ(data.at("apps").at(1).at("methods").at(1).as_string(),
            "</SCRIPT><script>alert(1)</script>");
}

TEST_F(HtmlReportTest, InvalidUtf8BecomesReplacementCharacters) {
  Report report = SmallReport();
  report.tests[0].name = "bad\xFF\xC3name\xE2\x80\xA8";
  std::string page = Page(report);
  EXPECT_THAT(page, HasSubstr("<tr><td>bad\xEF\xBF\xBD\xEF\xBF\xBDname"));
  EXPECT_EQ(Data(page).at("tests").at(0).as_string(),
            "bad\xEF\xBF\xBD\xEF\xBF\xBDname\xE2\x80\xA8");
}

TEST_F(HtmlReportTest, TableHasOneRowPerTestAndDashesForMissingCells) {
  std::string page = Page(SmallReport());
  std::string body = Between(page, "<tbody>", "</tbody>");
  EXPECT_THAT(body, HasSubstr("<tr><td>Login<td>1500<td>75.0<td>12<td>1"
                              "<td>50.0<td>2<td>0\n"));
  EXPECT_THAT(body, HasSubstr("&#39;<td>250<td>50.0<td>10<td>0"
                              "<td>\u2013<td>\u2013<td>\u2013\n"));
  EXPECT_THAT(body, HasSubstr("<tr><td>Ping<td>1.41e+06<td>\u2013<td>\u2013"
                              "<td>\u2013<td>50.0<td>1<td>0\n"));
  EXPECT_THAT(page, HasSubstr("<table id=\"tests\" style=\"--columns:6\">"
                              "<thead><tr><th></th><th></th>"
                              "<th colspan=\"3\" class=\"app\">Shop</th>"
                              "<th colspan=\"3\" class=\"app\">Web</th>"));
}

TEST_F(HtmlReportTest, TotalsRowSumsAllTests) {
  std::string foot = Between(Page(SmallReport()), "<tfoot>", "</tfoot>");
  // Runtimes 1500 + 250 + 1410000; Shop: 3 of 4 methods, 22 calls, one
  // method reached by exactly one test; Web: 1 of 2, 3 calls, none.
  EXPECT_EQ(foot,
            "<tfoot><tr><th>All tests</th><td>1411750<td>75.0<td>22<td>1"
            "<td>50.0<td>3<td>0</tr>");
}

TEST_F(HtmlReportTest, HeaderCountsRowsAndNamesTheFiles) {
  Report report = SmallReport();
  report.refused.push_back({7, "No trace file.", "X;Shop;1;2;3;;"});
  report.replacedRows = 4;
  std::string page = Page(report);
  EXPECT_THAT(page, HasSubstr("<title>Ostrivel coverage report</title>"));
  EXPECT_THAT(page, HasSubstr("<code>/data/result.csv</code>"));
  EXPECT_THAT(page, HasSubstr("<li><b>3</b> tests</li><li><b>2</b> "
                              "applications</li><li><b>4</b> usable rows</li>"
                              "<li><b>1</b> refused row</li><li><b>4</b> "
                              "replaced rows</li>"));
}

TEST_F(HtmlReportTest, ApplicationSectionsSummariseAndDrawTheStrip) {
  std::string shop =
      Between(Page(SmallReport()), "<section id=\"app-0\"", "</section>");
  EXPECT_THAT(shop, HasSubstr("<b>75.0 %</b> of 4 methods reached by all "
                              "tests together (3 reached), from 2 rows."));
  // Reached by 3, 1, 0 and 2 tests: buckets 2, 1, 0, 2 in one row of four.
  EXPECT_THAT(shop, HasSubstr("viewBox=\"0 0 4 1\""));
  EXPECT_THAT(shop,
              HasSubstr("<path class=\"b0\" d=\"M2 0h1v1h-1z\"/>"
                        "<path class=\"b1\" d=\"M1 0h1v1h-1z\"/>"
                        "<path class=\"b2\" d=\"M0 0h1v1h-1zM3 0h1v1h-1z\"/>"));
  EXPECT_THAT(shop, HasSubstr("<summary>1 method no test reaches</summary>"
                              "<pre data-app=\"0\"></pre>"));
  // The lines themselves are only in the data.
  EXPECT_THAT(shop, Not(HasSubstr("Unused")));
}

TEST_F(HtmlReportTest, HeatStripMergesRunsOfOneColourPerRow) {
  Report report;
  Application app;
  app.name = "Big";
  app.methods.assign(450, "m");
  app.testsReaching.assign(450, 0);
  app.topTests.assign(450, {});
  report.applications = {app};
  std::string page = Page(report);
  EXPECT_THAT(page, HasSubstr("viewBox=\"0 0 200 3\""));
  EXPECT_THAT(page, HasSubstr("<path class=\"b0\" d=\"M0 0h200v1h-200zM0 "
                              "1h200v1h-200zM0 2h50v1h-50z\"/></svg>"));
  EXPECT_THAT(page, HasSubstr("<li><i class=\"b0\"></i>no test: 450</li>"));
}

TEST_F(HtmlReportTest, ApplicationWithoutMethodsHasNoStrip) {
  Report report = SmallReport();
  report.applications[1].methods.clear();
  report.applications[1].testsReaching.clear();
  report.applications[1].topTests.clear();
  std::string web =
      Between(Page(report), "<section id=\"app-1\"", "</section>");
  EXPECT_THAT(web, HasSubstr("No method list names this application's "
                             "methods; 2 rows."));
  EXPECT_THAT(web, Not(HasSubstr("<svg")));
}

TEST_F(HtmlReportTest, RowsNotUsedAreListed) {
  Report report = SmallReport();
  report.refused = {{3, "The trace file is missing.", "A;Shop;1;<b>;x"},
                    {9, "Too few fields.", "broken"}};
  report.methodListProblems = {"\"/data/methods/x.csv\" cannot be read"};
  report.replacedRows = 2;
  std::string refused =
      Between(Page(report), "<section id=\"refused\"", "</section>");
  EXPECT_THAT(refused,
              HasSubstr("<p>2 earlier rows of the same test and application "
                        "were replaced by later ones; each run rewrites the "
                        "trace files, so only the latest row is used.</p>"));
  EXPECT_THAT(refused, HasSubstr("<tr><td>3<td>The trace file is missing."
                                 "<td><code>A;Shop;1;&lt;b&gt;;x</code>"));
  EXPECT_THAT(refused, HasSubstr("<tr><td>9<td>Too few fields."));
  EXPECT_THAT(refused,
              HasSubstr("<li>&quot;/data/methods/x.csv&quot; cannot be "
                        "read</li>"));
}

TEST_F(HtmlReportTest, OneReplacedRowAndNothingRefused) {
  Report report = SmallReport();
  std::string clean =
      Between(Page(report), "<section id=\"refused\"", "</section>");
  EXPECT_THAT(clean, HasSubstr("Every row of the result file was used."));
  report.replacedRows = 1;
  std::string replaced =
      Between(Page(report), "<section id=\"refused\"", "</section>");
  EXPECT_THAT(replaced, HasSubstr("<p>1 earlier row of the same test and "
                                  "application was replaced by a later one;"));
  EXPECT_THAT(replaced, Not(HasSubstr("Every row")));
}

TEST_F(HtmlReportTest, OnlyThisTestCountsTestsWithoutAny) {
  std::string only =
      Between(Page(SmallReport()), "<section id=\"only\"", "</section>");
  EXPECT_THAT(only, HasSubstr("2 tests reach no method of their own."));
}

TEST_F(HtmlReportTest, DataHoldsWhatTheModelHolds) {
  json::value data = Data(Page(SmallReport()));
  const json::array& apps = data.at("apps").as_array();
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps[0].at("name").as_string(), "Shop");
  EXPECT_EQ(apps[0].at("methods"),
            json::parse(R"(["0x1;Shop::Checkout(Cart const&);shop",
                "0x2;Shop::Pay<Card>();shop","0x3;Shop::Unused();shop",
                "0x4;Shop::Audit();shop"])"));
  EXPECT_EQ(apps[0].at("testsReaching"), json::parse("[3,1,0,2]"));
  EXPECT_EQ(apps[0].at("topTests"),
            json::parse("[[1,9,0,4],[0,7],[],[0,1,1,1]]"));
  EXPECT_EQ(apps[1].at("topTests"), json::parse("[[0,2,2,1],[]]"));
  EXPECT_EQ(
      data.at("tests"),
      json::parse(R"(["Login","<script>alert(\"x\")</script>'","Ping"])"));
  EXPECT_EQ(data.at("onlyThisTest"), json::parse("[[0,0,1]]"));
  EXPECT_EQ(data.at("keptTestsPerMethod").as_int64(), 2);
}

TEST_F(HtmlReportTest, EmptyReportGivesAWholePage) {
  std::string page = Page(Report{});
  EXPECT_EQ(Data(page), json::parse(R"({"apps":[],"tests":[],"onlyThisTest":[],
                "keptTestsPerMethod":0})"));
  EXPECT_THAT(page, HasSubstr("No test reaches a method that no other test "
                              "reaches."));
  EXPECT_THAT(page, HasSubstr("</body></html>\n"));
}

TEST_F(HtmlReportTest, ReplacesAnExistingFile) {
  testing::WriteFile(dir_.File("report.html"), std::string(100000, 'x'));
  std::string page = Page(SmallReport());
  EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(page.find('x' + std::string(99, 'x')), std::string::npos);
}

TEST(HtmlReportErrorsTest, UnwritablePathGivesFalseWithMessage) {
  TempDir dir;
  std::string path = dir.File("missing/report.html");
  std::string error;
  EXPECT_FALSE(WriteHtmlReport(SmallReport(), path, &error));
  EXPECT_EQ(error, "cannot write \"" + path + "\": No such file or directory");
}

TEST(HtmlReportErrorsTest, FullDiskGivesFalseWithMessage) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::string error;
  EXPECT_FALSE(WriteHtmlReport(SmallReport(), "/dev/full", &error));
  EXPECT_EQ(error, "cannot write \"/dev/full\": No space left on device");
}

}  // namespace
}  // namespace ostrivel::report
