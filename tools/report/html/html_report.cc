#include "tools/report/html/html_report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "tools/report/html/page_writer.h"
#include "tools/report/html/report_assets.h"

namespace ostrivel::report {
namespace {

constexpr std::string_view kMissing = "\u2013";  // en dash
// Methods per row of a heat strip.
constexpr std::size_t kHeatColumns = 200;
// Pixels per row of a heat strip, and the bounds of its height.
constexpr std::size_t kHeatRowHeight = 12;
constexpr std::size_t kHeatMinHeight = 24;
constexpr std::size_t kHeatMaxHeight = 400;

// Methods are coloured by how many tests reach them; the colours are the
// classes b0..b5 of the style sheet.
constexpr std::array<std::string_view, 6> kBucketLabels = {
    "no test",           "1 test",        "2\u20135 tests", "6\u201320 tests",
    "21\u2013100 tests", "over 100 tests"};

std::size_t BucketOf(std::uint32_t tests) {
  if (tests <= 1) return tests;
  if (tests <= 5) return 2;
  if (tests <= 20) return 3;
  if (tests <= 100) return 4;
  return 5;
}

// 12345 -> "12,345", for prose.
std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string Plural(std::uint64_t count, std::string_view one,
                   std::string_view many) {
  return fmt::format("{} {}", Grouped(count), count == 1 ? one : many);
}

std::uint32_t TestsReaching(const Application& app, std::size_t method) {
  return method < app.testsReaching.size() ? app.testsReaching[method] : 0;
}

std::size_t CountReachedBy(const Application& app, std::uint32_t tests) {
  return static_cast<std::size_t>(
      std::count(app.testsReaching.begin(), app.testsReaching.end(), tests));
}

void WriteHeader(PageWriter& out, const Report& report) {
  out.Raw(
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
      "<title>Ostrivel coverage report</title>\n<style>");
  out.Raw(kReportCss);
  out.Raw("</style></head>\n<body>\n<header><h1>Ostrivel coverage report</h1>");

  out.Raw("<dl class=\"files\"><dt>Result file</dt><dd><code>");
  out.Text(report.resultPath);
  out.Raw("</code></dd><dt>Trace files</dt><dd><code>");
  out.Text(report.tracePrefix);
  out.Raw("</code>\u2026</dd><dt>Method lists</dt><dd><code>");
  out.Text(report.methodsDirectory);
  out.Raw("</code></dd></dl>\n");

  std::uint64_t rows = 0;
  for (const Application& app : report.applications) rows += app.rows;
  auto count = [&](std::uint64_t n, std::string_view one,
                   std::string_view many) {
    out.Format("<li><b>{}</b> {}</li>", Grouped(n), n == 1 ? one : many);
  };
  out.Raw("<ul class=\"counts\">");
  count(report.tests.size(), "test", "tests");
  count(report.applications.size(), "application", "applications");
  count(rows, "usable row", "usable rows");
  count(report.refused.size(), "refused row", "refused rows");
  count(report.replacedRows, "replaced row", "replaced rows");
  out.Raw("</ul>\n");

  out.Raw("<nav><a href=\"#find\">Search</a><a href=\"#tests\">Tests</a>");
  for (std::size_t a = 0; a < report.applications.size(); ++a) {
    out.Format("<a href=\"#app-{}\">", a);
    out.Text(report.applications[a].name);
    out.Raw("</a>");
  }
  out.Raw(
      "<a href=\"#only\">Only this test</a><a href=\"#refused\">Rows not "
      "used</a></nav></header>\n<main>\n");
}

void WriteSearch(PageWriter& out) {
  out.Raw(
      "<section id=\"find\"><h2>Which tests reach a method?</h2>"
      "<input type=\"search\" id=\"search\" autocomplete=\"off\" "
      "spellcheck=\"false\" placeholder=\"Part of a method line, e.g. "
      "checkout\" aria-label=\"Part of a method line\">"
      "<div id=\"results\"></div></section>\n");
}

// Coverage with one decimal, or the dash when there is nothing to cover.
void WritePercent(PageWriter& out, std::size_t part, std::size_t whole) {
  if (whole == 0) {
    out.Raw(kMissing);
  } else {
    out.Format("{:.1f}",
               100.0 * static_cast<double>(part) / static_cast<double>(whole));
  }
}

// Cells are written without end tags and without attributes: at 10,000
// tests they are most of the static page. The script sorts numeric columns
// by the cells' text, which is the number itself. The style sheet lays the
// rows out with fixed column widths instead of as a table (a browser's table
// layout of 150,000 cells takes many seconds), so the heading's cells for
// the two leading columns are empty in the first row instead of spanning
// two rows.
void WriteTestsTable(PageWriter& out, const Report& report) {
  out.Raw(
      "<section id=\"tests-section\"><h2>Tests</h2><p class=\"hint\">Click a "
      "column heading to sort by it; click again to reverse.</p>"
      "<div class=\"scroll\">");
  out.Format(
      "<table id=\"tests\" style=\"--columns:{}\"><thead><tr><th></th>"
      "<th></th>",
      3 * report.applications.size());
  for (const Application& app : report.applications) {
    out.Raw("<th colspan=\"3\" class=\"app\">");
    out.Text(app.name);
    out.Raw("</th>");
  }
  out.Raw(
      "</tr>\n<tr><th data-c=\"0\" data-t=\"s\">Test</th>"
      "<th data-c=\"1\">Runtime (ms)</th>");
  for (std::size_t a = 0; a < report.applications.size(); ++a) {
    std::size_t column = 2 + 3 * a;
    out.Format(
        "<th data-c=\"{}\" class=\"first\">Coverage %</th><th data-c=\"{}\">"
        "Trace length</th><th data-c=\"{}\">Only here</th>",
        column, column + 1, column + 2);
  }
  out.Raw("</tr></thead>\n<tbody>\n");

  double runtimes = 0;
  for (const Test& test : report.tests) {
    runtimes += test.runtime;
    out.Raw("<tr><td>");
    out.Text(test.name);
    out.Raw("<td>");
    if (test.runtimeText.empty()) {
      out.Raw(kMissing);
    } else {
      out.Text(test.runtimeText);
    }
    for (std::size_t a = 0; a < report.applications.size(); ++a) {
      if (a >= test.cells.size() || !test.cells[a].present) {
        out.Format("<td>{0}<td>{0}<td>{0}", kMissing);
        continue;
      }
      const Cell& cell = test.cells[a];
      out.Format("<td>{:.1f}<td>{}<td>{}", cell.Coverage(), cell.traceLength,
                 cell.onlyThisTest);
    }
    out.Raw("\n");
  }

  out.Format("</tbody>\n<tfoot><tr><th>All tests</th><td>{:.0f}", runtimes);
  for (const Application& app : report.applications) {
    out.Raw("<td>");
    WritePercent(out, app.reached, app.methods.size());
    out.Format("<td>{}<td>{}", app.totalCalls, CountReachedBy(app, 1));
  }
  out.Raw("</tr></tfoot></table></div></section>\n");
}

// One <path> per colour; each run of neighbours of one colour in a row is
// one rectangle, so the strip stays small however many methods there are.
void WriteHeatStrip(PageWriter& out, const Application& app,
                    std::size_t index) {
  std::size_t count = app.methods.size();
  std::size_t columns = std::min(kHeatColumns, count);
  std::size_t rows = (count + columns - 1) / columns;
  std::array<std::string, kBucketLabels.size()> paths;
  std::array<std::size_t, kBucketLabels.size()> methods{};
  for (std::size_t row = 0; row < rows; ++row) {
    std::size_t begin = row * columns;
    std::size_t end = std::min(begin + columns, count);
    std::size_t runStart = begin;
    for (std::size_t i = begin + 1; i <= end; ++i) {
      std::size_t bucket = BucketOf(TestsReaching(app, runStart));
      if (i < end && BucketOf(TestsReaching(app, i)) == bucket) continue;
      std::size_t width = i - runStart;
      fmt::format_to(std::back_inserter(paths[bucket]), "M{} {}h{}v1h-{}z",
                     runStart - begin, row, width, width);
      methods[bucket] += width;
      runStart = i;
    }
  }

  out.Format(
      "<svg class=\"heat\" data-app=\"{}\" data-cols=\"{}\" viewBox=\"0 0 {} "
      "{}\" preserveAspectRatio=\"none\" width=\"100%\" height=\"{}\" "
      "shape-rendering=\"crispEdges\" role=\"img\" aria-label=\"Methods by "
      "the number of tests that reach them\">",
      index, columns, columns, rows,
      std::clamp(rows * kHeatRowHeight, kHeatMinHeight, kHeatMaxHeight));
  for (std::size_t b = 0; b < paths.size(); ++b) {
    if (!paths[b].empty())
      out.Format("<path class=\"b{}\" d=\"{}\"/>", b, paths[b]);
  }
  out.Raw("</svg>\n<ul class=\"legend\">");
  for (std::size_t b = 0; b < paths.size(); ++b) {
    out.Format("<li><i class=\"b{}\"></i>{}: {}</li>", b, kBucketLabels[b],
               Grouped(methods[b]));
  }
  out.Raw("</ul>\n");
}

void WriteApplication(PageWriter& out, const Application& app,
                      std::size_t index) {
  out.Format("<section id=\"app-{}\" class=\"application\"><h2>", index);
  out.Text(app.name);
  out.Raw("</h2>\n");
  if (app.methods.empty()) {
    out.Format(
        "<p>No method list names this application's methods; {}.</p>"
        "</section>\n",
        Plural(app.rows, "row", "rows"));
    return;
  }
  out.Raw("<p class=\"lead\"><b>");
  WritePercent(out, app.reached, app.methods.size());
  out.Format(
      " %</b> of {} reached by all tests together ({} reached), from {}.</p>\n",
      Plural(app.methods.size(), "method", "methods"), Grouped(app.reached),
      Plural(app.rows, "row", "rows"));
  WriteHeatStrip(out, app, index);

  // The method lines are in the page once, in the data; the script fills
  // the list from there.
  std::size_t unreached = CountReachedBy(app, 0);
  if (unreached == 0) {
    out.Raw("<p>Every method is reached by at least one test.</p>");
  } else {
    out.Format(
        "<details class=\"unreached\"><summary>{} no test reaches</summary>"
        "<pre data-app=\"{}\"></pre></details>",
        Plural(unreached, "method", "methods"), index);
  }
  out.Raw("</section>\n");
}

void WriteOnlyThisTest(PageWriter& out, const Report& report) {
  std::size_t without = 0;
  for (const Test& test : report.tests) without += test.onlyThisTest.empty();
  out.Raw("<section id=\"only\"><h2>Only this test</h2><p>");
  if (without == report.tests.size()) {
    out.Raw("No test reaches a method that no other test reaches.");
  } else {
    out.Format(
        "What each test reaches and no other test does. {} no method of "
        "{} own.",
        without == 1 ? "1 test reaches"
                     : Plural(without, "test", "tests reach"),
        without == 1 ? "its" : "their");
  }
  out.Raw("</p><div id=\"only-list\"></div></section>\n");
}

void WriteRefused(PageWriter& out, const Report& report) {
  out.Raw("<section id=\"refused\"><h2>Rows not used</h2>\n");
  if (report.refused.empty() && report.methodListProblems.empty() &&
      report.replacedRows == 0) {
    out.Raw("<p>Every row of the result file was used.</p>");
  }
  if (report.replacedRows > 0) {
    out.Format(
        "<p>{} of the same test and application {}; each run rewrites the "
        "trace files, so only the latest row is used.</p>\n",
        Plural(report.replacedRows, "earlier row", "earlier rows"),
        report.replacedRows == 1 ? "was replaced by a later one"
                                 : "were replaced by later ones");
  }
  if (!report.refused.empty()) {
    out.Raw(
        "<table class=\"plain\"><thead><tr><th>Line</th><th>Reason</th>"
        "<th>Row</th></tr></thead><tbody>\n");
    for (const RefusedRow& row : report.refused) {
      out.Format("<tr><td>{}<td>", row.line);
      out.Text(row.reason);
      out.Raw("<td><code>");
      out.Text(row.row);
      out.Raw("</code>\n");
    }
    out.Raw("</tbody></table>\n");
  }
  if (!report.methodListProblems.empty()) {
    out.Raw("<p>Method lists that could not be read:</p><ul>");
    for (const std::string& problem : report.methodListProblems) {
      out.Raw("<li>");
      out.Text(problem);
      out.Raw("</li>");
    }
    out.Raw("</ul>\n");
  }
  out.Raw("</section>\n");
}

// The data the script works on, in one compact JSON document:
//   {"apps":[{"name":..., "methods":[line...], "testsReaching":[n...],
//             "topTests":[[test,calls,test,calls...]...]}...],
//    "tests":[name...], "onlyThisTest":[[test,app,method,app,method...]...],
//    "keptTestsPerMethod":n}
void WriteData(PageWriter& out, const Report& report) {
  out.Raw("<script type=\"application/json\" id=\"data\">{\"apps\":[");
  for (std::size_t a = 0; a < report.applications.size(); ++a) {
    const Application& app = report.applications[a];
    out.Raw(a == 0 ? "{\"name\":" : ",\n{\"name\":");
    out.Json(app.name);
    out.Raw(",\"methods\":[");
    for (std::size_t m = 0; m < app.methods.size(); ++m) {
      if (m > 0) out.Raw(",");
      out.Json(app.methods[m]);
    }
    out.Raw("],\n\"testsReaching\":[");
    for (std::size_t m = 0; m < app.methods.size(); ++m) {
      if (m > 0) out.Raw(",");
      out.Format("{}", TestsReaching(app, m));
    }
    out.Raw("],\n\"topTests\":[");
    for (std::size_t m = 0; m < app.methods.size(); ++m) {
      out.Raw(m == 0 ? "[" : ",[");
      if (m < app.topTests.size()) {
        bool first = true;
        for (const TestCalls& top : app.topTests[m]) {
          if (!first) out.Raw(",");
          out.Format("{},{}", top.test, top.calls);
          first = false;
        }
      }
      out.Raw("]");
    }
    out.Raw("]}");
  }
  out.Raw("],\n\"tests\":[");
  for (std::size_t t = 0; t < report.tests.size(); ++t) {
    if (t > 0) out.Raw(",");
    out.Json(report.tests[t].name);
  }
  out.Raw("],\n\"onlyThisTest\":[");
  bool firstTest = true;
  for (std::size_t t = 0; t < report.tests.size(); ++t) {
    const Test& test = report.tests[t];
    if (test.onlyThisTest.empty()) continue;
    out.Raw(firstTest ? "[" : ",[");
    out.Format("{}", t);
    firstTest = false;
    for (const auto& [app, method] : test.onlyThisTest) {
      out.Format(",{},{}", app, method);
    }
    out.Raw("]");
  }
  out.Format("],\n\"keptTestsPerMethod\":{}}}</script>\n",
             report.keptTestsPerMethod);
}

void WriteGaps(PageWriter& out, const Report& report) {
  out.Raw("<section id=\"gaps\"><h2>Changed methods no test reaches</h2>\n");
  if (report.gaps.empty()) {
    out.Raw("<p>Every changed method is reached by a test.</p>\n");
  } else {
    out.Raw(
        "<table class=\"plain\"><thead><tr><th>File</th><th>Application"
        "</th><th>Method</th></tr></thead><tbody>\n");
    for (const ChangedGap& gap : report.gaps) {
      out.Raw("<tr><td><code>");
      out.Text(gap.file);
      out.Format(":{}</code><td>", gap.line);
      out.Text(gap.application);
      out.Raw("<td><code>");
      out.Text(gap.method);
      out.Raw("</code>\n");
    }
    out.Raw("</tbody></table>\n");
  }
  if (!report.unmappedChanges.empty()) {
    out.Raw("<p>Changes no listed method holds:</p><ul>");
    for (const std::string& change : report.unmappedChanges) {
      out.Raw("<li>");
      out.Text(change);
      out.Raw("</li>");
    }
    out.Raw("</ul>\n");
  }
  out.Raw("</section>\n");
}

void WritePage(PageWriter& out, const Report& report) {
  WriteHeader(out, report);
  WriteSearch(out);
  if (report.forDiff) WriteGaps(out, report);
  WriteTestsTable(out, report);
  for (std::size_t a = 0; a < report.applications.size(); ++a) {
    WriteApplication(out, report.applications[a], a);
  }
  WriteOnlyThisTest(out, report);
  WriteRefused(out, report);
  out.Raw("</main>\n<div id=\"tip\" hidden></div>\n");
  WriteData(out, report);
  out.Raw("<script>");
  out.Raw(kReportJs);
  out.Raw("</script>\n</body></html>\n");
}

}  // namespace

bool WriteHtmlReport(const Report& report, const std::string& path,
                     std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = fmt::format("cannot write \"{}\": {}", path, std::strerror(errno));
    return false;
  }
  PageWriter out(file);
  WritePage(out, report);
  out.Flush();
  int failure = out.error();
  // Buffered bytes that do not fit on the disk fail only here.
  if (std::fclose(file) != 0 && failure == 0) failure = errno;
  if (failure != 0) {
    *error =
        fmt::format("cannot write \"{}\": {}", path, std::strerror(failure));
    return false;
  }
  return true;
}

}  // namespace ostrivel::report
