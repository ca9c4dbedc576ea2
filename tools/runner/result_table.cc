#include "tools/runner/result_table.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace ostrivel::runner {

namespace {

constexpr std::size_t kColumns = 7;
constexpr std::size_t kFixedRightColumns = 5;

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = line.find(separator, begin);
    if (end == std::string::npos) {
      fields.push_back(line.substr(begin));
      return fields;
    }
    fields.push_back(line.substr(begin, end - begin));
    begin = end + 1;
  }
}

std::string Join(std::vector<std::string>::const_iterator begin,
                 std::vector<std::string>::const_iterator end) {
  std::string text;
  for (auto field = begin; field != end; ++field) {
    if (field != begin) text += ';';
    text += *field;
  }
  return text;
}

// Splits "test;application" where either may hold ";" itself.
void SplitNames(const std::string& names,
                const std::vector<std::string>& knownTests, ResultRow* row) {
  const std::string* best = nullptr;
  for (const std::string& test : knownTests) {
    if (names.size() > test.size() &&
        names.compare(0, test.size(), test) == 0 && names[test.size()] == ';' &&
        (best == nullptr || test.size() > best->size())) {
      best = &test;
    }
  }
  std::size_t split = best != nullptr ? best->size() : names.find(';');
  row->testName = names.substr(0, split);
  row->application = names.substr(split + 1);
}

}  // namespace

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

ResultRows ParseResultRows(const std::string& text,
                           const std::vector<std::string>& knownTests) {
  ResultRows result;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == formats::kResultHeader) continue;
    std::vector<std::string> fields = Split(line, ';');
    if (fields.size() < kColumns) {
      ++result.unreadableLines;
      continue;
    }
    auto fixed = fields.end() - kFixedRightColumns;
    ResultRow row;
    SplitNames(Join(fields.begin(), fixed), knownTests, &row);
    row.traceLength = fixed[0];
    row.coverage = fixed[1];
    row.runtime = fixed[2];
    row.covered = fixed[3];
    row.notCovered = fixed[4];
    result.rows.push_back(std::move(row));
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
  for (const TestOutcome& outcome : outcomes) {
    const char* status = outcome.passed ? "PASS" : "FAIL";
    bool any = false;
    for (const ResultRow& row : rows) {
      if (row.testName != outcome.name) continue;
      any = true;
      lines.push_back({outcome.name, status, row.application, row.traceLength,
                       row.coverage, row.runtime});
    }
    if (!any) {
      const char* why =
          outcome.serviceReached ? "(no result row)" : "(service unreachable)";
      lines.push_back({outcome.name, status, why, "-", "-", "-"});
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
  return table;
}

}  // namespace ostrivel::runner
