// Opens a written page in headless Chromium and checks what its script makes
// of it: the DOM after loading with a search in the fragment, and a
// screenshot left in the build tree for a person to look at.

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "tools/report/html/headless_chromium.h"
#include "tools/report/html/html_report.h"
#include "tools/report/report_builder.h"

namespace ostrivel::report {
namespace {

namespace fs = std::filesystem;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::size_t kTests = 24;
constexpr std::size_t kKept = 3;
constexpr std::size_t kCheckout = 5;  // Shop's method that the search finds
constexpr std::size_t kPay = 6;       // its neighbour, which it must not find

std::string ShopMethod(std::size_t m) {
  if (m == kCheckout) return "0x0105;shop::Cart::Checkout(Cart const&);shop";
  if (m == kPay) return "0x0106;shop::Pay<Card>(Money);shop";
  return fmt::format("0x{:04x};shop::Module{}::Step{}(int);shop", 0x100 + m,
                     m / 20, m % 20);
}

// The calls test "t" makes of method "m" of application "a": a core that
// every test reaches, scattered features, an unreached tail and a few methods
// that only one test reaches.
std::int64_t Calls(std::size_t a, std::size_t t, std::size_t m,
                   std::size_t methods) {
  if (a == 0 && m == kCheckout) return t % 3 == 0 ? 1 + 2 * t : 0;
  if (m < 4) return 1 + (t + m) % 5;
  if (m >= methods * 3 / 4) return 0;
  if (m % 50 == 49) return m / 50 % kTests == t ? 2 : 0;
  return (m * 7 + t * 13) % 11 == 0 ? 1 + (m * 31 + t * 17) % 40 : 0;
}

// A report aggregated by the tool's own builder from rows made up here: two
// applications, Web not run by every fifth test.
Report BrowserReport(const std::string& dir) {
  Collection collection;
  collection.applications = {"Shop", "Web"};
  collection.methods.resize(2);
  for (std::size_t m = 0; m < 400; ++m) {
    collection.methods[0].push_back(ShopMethod(m));
  }
  for (std::size_t m = 0; m < 150; ++m) {
    collection.methods[1].push_back(fmt::format("web::Page{}::render()", m));
  }
  ReportBuilder builder(kKept);
  builder.Start(collection);
  for (std::size_t t = 0; t < kTests; ++t) {
    collection.tests.push_back(
        fmt::format("Orders.{}_{}", t % 2 ? "Pay" : "PlaceOrder", t));
    std::string runtime = fmt::format("{}", 120 + t * 37);
    for (std::uint32_t a = 0; a < 2; ++a) {
      if (a == 1 && t % 5 == 4) continue;
      std::size_t methods = collection.methods[a].size();
      std::vector<std::uint32_t> covered;
      std::vector<std::int32_t> calls;
      UsableRow row;
      for (std::size_t m = 0; m < methods; ++m) {
        std::int64_t count = Calls(a, t, m, methods);
        if (count == 0) continue;
        covered.push_back(static_cast<std::uint32_t>(m));
        calls.push_back(static_cast<std::int32_t>(count));
        row.traceLength += count;
      }
      row.test = static_cast<std::uint32_t>(t);
      row.application = a;
      row.methods = static_cast<std::uint32_t>(methods);
      row.covered = &covered;
      row.calls = &calls;
      row.runtimeText = runtime;
      row.runtime = static_cast<double>(120 + t * 37);
      builder.Use(row);
    }
  }
  Report report;
  builder.Finish(std::move(collection), &report);
  report.resultPath = dir + "result.csv";
  report.tracePrefix = dir + "traces/";
  report.methodsDirectory = dir + "methods/";
  report.replacedRows = 3;
  report.refused.push_back(
      {41, "The trace file holds another run's calls.", "Orders.Slow;Shop;9"});
  return report;
}

// Whether "text" holds "part". The DOM is too big to print, so a failure
// shows only what stands where the start of "part" is found.
::testing::AssertionResult Holds(const std::string& text,
                                 const std::string& part) {
  if (text.find(part) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  auto failure = ::testing::AssertionFailure() << "no \"" << part << "\"";
  std::size_t near = text.find(part.substr(0, 16));
  if (near != std::string::npos) {
    failure << "; there is \"" << text.substr(near, part.size() + 20) << "\"";
  }
  return failure;
}

class ReportBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = browser::FindChromium();
    if (chromium_.empty()) {
      if (browser::ChromiumRequired()) FAIL() << "chromium is not installed";
      GTEST_SKIP() << "chromium is not installed";
    }
    report_ = BrowserReport(dir_.path());
    std::string error;
    ASSERT_TRUE(WriteHtmlReport(report_, dir_.File("report.html"), &error))
        << error;
  }

  // Runs headless Chromium on the page with "arguments"; its standard output
  // goes to "output".
  int RunChromium(const std::string& arguments, const std::string& output) {
    return browser::RunHeadlessChromium(
        chromium_, dir_.path(), arguments,
        "file://" + dir_.File("report.html") + "#search=checkout", output);
  }

  TempDir dir_;
  std::string chromium_;
  Report report_;
};

TEST_F(ReportBrowserTest, ScriptRendersTheSearchFromTheFragment) {
  ASSERT_EQ(RunChromium("--dump-dom", dir_.File("dom.html")), 0);
  std::string dom = ReadFile(dir_.File("dom.html"));
  EXPECT_TRUE(Holds(dom, "<table id=\"tests\" style=\"--columns:6\">"));
  EXPECT_TRUE(Holds(dom, "<tr><td>Orders.Pay_23</td><td>971</td>"));

  const Application& shop = report_.applications[0];
  EXPECT_THAT(
      dom, HasSubstr(fmt::format(
               "<tfoot><tr><th>All tests</th><td>{}</td><td>{:.1f}"
               "</td><td>{}</td>",
               24 * 120 + 37 * 23 * 24 / 2,
               100.0 * shop.reached / shop.methods.size(), shop.totalCalls)));

  // The methods no test reaches, filled in from the data.
  EXPECT_TRUE(Holds(dom, "<pre data-app=\"0\">" + ShopMethod(300) + "\n" +
                             ShopMethod(301) + "\n"));

  std::size_t begin = dom.find("<div id=\"results\">");
  ASSERT_NE(begin, std::string::npos);
  std::string results =
      dom.substr(begin, dom.find("</section>", begin) - begin);
  EXPECT_THAT(results, HasSubstr("1 method matches."));
  EXPECT_THAT(results, HasSubstr("shop::Cart::Checkout(Cart const&amp;)"));
  EXPECT_THAT(results, HasSubstr("8 tests"));
  ASSERT_EQ(shop.topTests[kCheckout].size(), kKept);
  for (const TestCalls& top : shop.topTests[kCheckout]) {
    EXPECT_THAT(results, HasSubstr(fmt::format(
                             "<li>{} <span class=\"calls\">({} calls)</span>",
                             report_.tests[top.test].name, top.calls)));
  }
  EXPECT_THAT(results,
              HasSubstr("and 5 more tests: <code>ostrivel-report tests-for -i "
                        "Shop 'checkout'</code> lists all"));
  EXPECT_THAT(results, Not(HasSubstr("Pay&lt;Card&gt;")));
  EXPECT_THAT(results, Not(HasSubstr("Step")));
  EXPECT_THAT(results, Not(HasSubstr("web::")));

  // What a test alone reaches, rendered from the data.
  EXPECT_TRUE(Holds(dom, "<summary>Orders.Pay_1<span class=\"count\">"));
  EXPECT_TRUE(Holds(dom, "Shop: " + ShopMethod(49)));
}

// Clicks headings and moves the pointer over a heat strip from a script
// added to the page, which leaves what it saw in a <pre id="probe">.
constexpr std::string_view kProbe = R"(<script>
(() => {
  const seen = [];
  const rows = () => document.querySelector('#tests tbody').rows;
  const name = (row) => row.cells[0].textContent;
  const shopCalls = document.querySelector('#tests th[data-c="3"]');
  shopCalls.click();
  seen.push('ascending ' + name(rows()[0]));
  shopCalls.click();
  seen.push('descending ' + name(rows()[0]));
  document.querySelector('#tests th[data-c="0"]').click();
  seen.push('names ' + name(rows()[0]) + ' to ' + name(rows()[rows().length - 1]));
  const webCalls = document.querySelector('#tests th[data-c="6"]');
  webCalls.click();
  seen.push('last ' + name(rows()[rows().length - 1]));
  webCalls.click();
  seen.push('last ' + name(rows()[rows().length - 1]));
  const strip = document.querySelector('svg.heat');
  const box = strip.getBoundingClientRect();
  strip.dispatchEvent(new MouseEvent('mousemove', {
    clientX: box.left + box.width * 5.5 / 200, clientY: box.top + box.height / 4}));
  seen.push('tip ' + document.getElementById('tip').textContent);
  const probe = document.createElement('pre');
  probe.id = 'probe';
  probe.textContent = seen.join('\n');
  document.body.append(probe);
})();
</script>)";

TEST_F(ReportBrowserTest, HeadingsSortAndTheStripNamesItsMethods) {
  std::string page = ReadFile(dir_.File("report.html"));
  page.insert(page.rfind("</body>"), kProbe);
  WriteFile(dir_.File("report.html"), page);
  ASSERT_EQ(RunChromium("--dump-dom", dir_.File("dom.html")), 0);
  std::string dom = ReadFile(dir_.File("dom.html"));

  // Shop's trace lengths, least and most; ties keep the tests' order.
  std::size_t least = 0, most = 0;
  for (std::size_t t = 1; t < report_.tests.size(); ++t) {
    std::int64_t calls = report_.tests[t].cells[0].traceLength;
    if (calls < report_.tests[least].cells[0].traceLength) least = t;
    if (calls > report_.tests[most].cells[0].traceLength) most = t;
  }
  EXPECT_TRUE(Holds(
      dom, fmt::format("<pre id=\"probe\">ascending {}\ndescending {}\n"
                       // Numbers in names sort as numbers.
                       "names Orders.Pay_1 to Orders.PlaceOrder_22\n"
                       // Missing cells stay last both ways, in the order
                       // they had.
                       "last Orders.PlaceOrder_14\nlast Orders.PlaceOrder_14\n"
                       "tip 0x0105;shop::Cart::Checkout(Cart const&amp;);shop\n"
                       "#5: 8 tests</pre>",
                       report_.tests[least].name, report_.tests[most].name)));
}

TEST_F(ReportBrowserTest, Screenshot) {
  std::string screenshot = OSTRIVEL_REPORT_SCREENSHOT;
  std::error_code error;
  fs::remove(screenshot, error);
  ASSERT_EQ(RunChromium(fmt::format("--hide-scrollbars --window-size=1280,1600 "
                                    "--screenshot='{}'",
                                    screenshot),
                        dir_.File("screenshot.log")),
            0);
  std::string png = ReadFile(screenshot);
  EXPECT_GT(png.size(), 1000u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  std::cout << "screenshot: " << screenshot << "\n";
}

}  // namespace
}  // namespace ostrivel::report
