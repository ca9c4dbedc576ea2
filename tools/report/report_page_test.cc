// The whole way from the library's files to what a person sees: results
// written by the library's evaluation, the page written by ostrivel-report,
// opened in headless Chromium with a search in its fragment.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/report/html/headless_chromium.h"
#include "tools/report/library_results.h"

namespace ostrivel::report {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Writes the page of "results" with ostrivel-report and opens it in
// Chromium with "#search=<search>": the document as the page left it.
void ShowPage(const std::string& chromium, LibraryResults& results,
              const std::string& search, std::string* dom) {
  tools::testing::ChildProcess report;
  ASSERT_TRUE(report.Start({OSTRIVEL_REPORT_PATH, "--results",
                            results.File("result.csv"), "html",
                            results.File("report.html")}));
  std::optional<int> status = report.Wait();
  ASSERT_TRUE(status);
  ASSERT_EQ(tools::testing::ExitCode(*status), 0);
  ASSERT_EQ(browser::RunHeadlessChromium(
                chromium, results.File(""), "--dump-dom",
                "file://" + results.File("report.html") + "#search=" + search,
                results.File("dom.html")),
            0);
  *dom = testing::ReadFile(results.File("dom.html"));
}

TEST(ReportPageTest, ShowsWhatTheLibraryWroteAndAnswersASearch) {
  std::string chromium = browser::FindChromium();
  if (chromium.empty()) {
    if (browser::ChromiumRequired()) FAIL() << "chromium is not installed";
    GTEST_SKIP() << "chromium is not installed";
  }
  LibraryResults results;
  results.AddMethodList("Shop",
                        {"0x1;shop::checkout();shop", "0x2;shop::browse();shop",
                         "0x3;shop::refund();shop"});
  results.RunTest("Buy", {{"Shop", {4, 0, 0}}}, 700);
  results.RunTest("Look", {{"Shop", {1, 2, 0}}}, 90);
  results.AppendToResults("Half;Shop;1");

  std::string dom;
  ASSERT_NO_FATAL_FAILURE(ShowPage(chromium, results, "checkout", &dom));
  // The tests table and its totals.
  // Only Look reaches browse.
  EXPECT_THAT(dom, HasSubstr("<tr><td>Buy</td><td>700</td><td>33.3</td>"
                             "<td>4</td><td>0\n</td></tr>"));
  EXPECT_THAT(dom, HasSubstr("<tr><td>Look</td><td>90</td><td>66.7</td>"
                             "<td>3</td><td>1\n</td></tr>"));
  EXPECT_THAT(dom, HasSubstr("<tfoot><tr><th>All tests</th><td>790</td>"
                             "<td>66.7</td><td>7</td><td>1</td>"));
  // The method no test reaches.
  EXPECT_THAT(dom, HasSubstr(">0x3;shop::refund();shop</pre>"));
  // The search from the fragment: the tests that call checkout, with their
  // calls, and nothing else.
  std::size_t begin = dom.find("<div id=\"results\">");
  ASSERT_NE(begin, std::string::npos);
  std::string answer = dom.substr(begin, dom.find("</section>", begin) - begin);
  EXPECT_THAT(answer, HasSubstr("0x1;shop::checkout();shop"));
  EXPECT_THAT(answer, HasSubstr("<li>Buy <span class=\"calls\">(4 calls)"));
  EXPECT_THAT(answer, HasSubstr("<li>Look <span class=\"calls\">(1 call)"));
  EXPECT_THAT(answer, Not(HasSubstr("browse")));
  // The row the report could not use, with its reason.
  EXPECT_THAT(dom, HasSubstr("<td>4</td><td>the row has no line end: it may "
                             "still be being written</td><td><code>"
                             "Half;Shop;1</code>"));
}

// The search also takes the name as people write it, the scope and the
// method joined: "Cart::Add" is in no line of the list.
TEST(ReportPageTest, SearchMatchesTheQualifiedName) {
  std::string chromium = browser::FindChromium();
  if (chromium.empty()) {
    if (browser::ChromiumRequired()) FAIL() << "chromium is not installed";
    GTEST_SKIP() << "chromium is not installed";
  }
  LibraryResults results;
  results.AddMethodList("Shop", {"0x1;Add(int);shop::Cart",
                                 "0x2;Add(int);shop::Receipt", "0x3;main;"});
  results.RunTest("Fill", {{"Shop", {2, 0, 1}}});
  results.RunTest("Print", {{"Shop", {0, 5, 1}}});
  std::string dom;
  ASSERT_NO_FATAL_FAILURE(ShowPage(chromium, results, "cart::add", &dom));
  std::size_t begin = dom.find("<div id=\"results\">");
  ASSERT_NE(begin, std::string::npos);
  std::string answer = dom.substr(begin, dom.find("</section>", begin) - begin);
  EXPECT_THAT(answer, HasSubstr("1 method matches."));
  EXPECT_THAT(answer, HasSubstr("0x1;Add(int);shop::Cart"));
  EXPECT_THAT(answer, HasSubstr("<li>Fill <span class=\"calls\">(2 calls)"));
  EXPECT_THAT(answer, Not(HasSubstr("Print")));
}

}  // namespace
}  // namespace ostrivel::report
