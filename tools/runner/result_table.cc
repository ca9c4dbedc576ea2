#include "tools/runner/result_table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <fmt/format.h>

#include "formats/trace_format.h"
#include "tools/printable/printable.h"

namespace ostrivel::runner {

std::uint64_t FileSize(const std::string& path) {
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

std::string ReadFileFrom(const std::string& path, std::uint64_t offset) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "";
  if (FileSize(path) >= offset) {
    file.seekg(static_cast<std::streamoff>(offset));
  }
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

ResultRows ParseResultRows(const std::string& text) {
  ResultRows result;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == formats::kResultHeader) continue;
    std::string reason;
    std::optional<formats::ResultRow> fields =
        formats::SplitResultRow(line, &reason);
    if (!fields) {
      ++result.unreadableLines;
      continue;
    }
    result.rows.push_back(ResultRow{
        std::string(fields->test), std::string(fields->application),
        std::string(fields->traceLength), std::string(fields->coverage),
        std::string(fields->runtime), std::string(fields->covered),
        std::string(fields->notCovered)});
  }
  return result;
}

std::string FormatSummaryTable(const std::vector<TestOutcome>& outcomes,
                               const std::vector<ResultRow>& rows) {
  using Line = std::array<std::string, 6>;
  const Line header = {"Test",         "Status",     "Application",
                       "Trace length", "Coverage %", "Runtime (ms)"};
  const std::array<bool, 6> rightAligned = {false, false, false,
                                            true,  true,  true};
  std::vector<Line> lines;
  bool marked = false;
  for (const TestOutcome& outcome : outcomes) {
    std::string status =
        outcome.passed ? (outcome.skipped ? "SKIP" : "PASS") : "FAIL";
    if (!outcome.probeWarnings.empty()) {
      status += "*";
      marked = true;
    }
    std::string name = tools::Printable(outcome.name);
    bool any = false;
    for (const ResultRow& row : rows) {
      if (row.testName != outcome.name) continue;
      any = true;
      lines.push_back({name, status, tools::Printable(row.application),
                       tools::Printable(row.traceLength),
                       tools::Printable(row.coverage),
                       tools::Printable(row.runtime)});
    }
    if (!any) {
      const char* why =
          outcome.serviceReached ? "(no result row)" : "(service unreachable)";
      lines.push_back({name, status, why, "-", "-", "-"});
    }
  }

  std::array<std::size_t, 6> widths{};
  for (std::size_t column = 0; column < header.size(); ++column) {
    widths[column] = header[column].size();
    for (const Line& line : lines) {
      widths[column] = std::max(widths[column], line[column].size());
    }
  }
  auto format = [&](const Line& line) {
    std::string text;
    for (std::size_t column = 0; column < line.size(); ++column) {
      if (column > 0) text += "  ";
      text += rightAligned[column]
                  ? fmt::format("{:>{}}", line[column], widths[column])
                  : fmt::format("{:<{}}", line[column], widths[column]);
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text + "\n";
  };

  std::string table = format(header);
  Line rule;
  for (std::size_t column = 0; column < rule.size(); ++column) {
    rule[column] = std::string(widths[column], '-');
  }
  table += format(rule);
  for (const Line& line : lines) table += format(line);
  if (marked) {
    table +=
        "* The probe turned counting off in this test's programs (its lines "
        "are under the test above): the coverage shown is not the test's.\n";
  }
  return table;
}

namespace {

bool IsPlainInteger(const std::string& text) {
  return !text.empty() &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// The sum of the calls of a trace file, or nothing when it cannot be read
// or holds a line that is no trace row.
std::optional<std::uint64_t> SumOfCalls(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::uint64_t sum = 0;
  std::string line;
  bool first = true;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      first = false;
      if (line != formats::kTraceHeader) return std::nullopt;
      continue;
    }
    if (line.empty()) continue;
    std::optional<formats::TraceRow> row = formats::SplitTraceRow(line);
    if (!row || row->calls < 0) return std::nullopt;
    sum += static_cast<std::uint64_t>(row->calls);
  }
  return sum;
}

std::string SixDigits(std::uint64_t value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}

bool ShowsCoverage(const std::string& coverage) {
  double value = 0;
  auto [end, error] = std::from_chars(coverage.data(),
                                      coverage.data() + coverage.size(), value);
  return error == std::errc() && std::isfinite(value) && value > 0;
}

}  // namespace

void UseExactTraceLengths(const std::string& baseLocation,
                          std::vector<ResultRow>* rows) {
  for (ResultRow& row : *rows) {
    if (IsPlainInteger(row.traceLength)) continue;
    std::optional<std::uint64_t> sum = SumOfCalls(
        baseLocation + row.testName + "_" + row.application + "_trace.csv");
    if (sum && SixDigits(*sum) == row.traceLength) {
      row.traceLength = std::to_string(*sum);
    }
  }
}

std::string CoverageShortfall(const std::vector<TestOutcome>& outcomes,
                              const std::vector<ResultRow>& rows) {
  std::vector<std::string> withoutRow;
  for (const TestOutcome& outcome : outcomes) {
    bool any = std::any_of(rows.begin(), rows.end(), [&](const ResultRow& row) {
      return row.testName == outcome.name;
    });
    if (!any) withoutRow.push_back(tools::Printable(outcome.name));
  }
  if (!withoutRow.empty()) {
    std::string names;
    for (const std::string& name : withoutRow) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return fmt::format("{} of {} tests got no coverage row: {}",
                       withoutRow.size(), outcomes.size(), names);
  }
  bool covered = std::any_of(
      rows.begin(), rows.end(),
      [](const ResultRow& row) { return ShowsCoverage(row.coverage); });
  if (covered) return "";
  return fmt::format(
      "every row of this run shows 0 % coverage ({} rows): the programs "
      "counted no call (are they instrumented and linked with the probe?)",
      rows.size());
}

}  // namespace ostrivel::runner
