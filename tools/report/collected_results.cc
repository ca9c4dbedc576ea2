#include "tools/report/collected_results.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "formats/method_catalog.h"
#include "platform/text_file.h"
#include "tools/report/result_rows.h"
#include "tools/report/trace_rows.h"

namespace ostrivel::report {

namespace {

using platform::LineReader;

// Opens the result file for "reader"; false with a message in "*error".
bool OpenResults(LineReader& reader, const std::string& path,
                 std::string* error) {
  errno = 0;
  if (reader.Open(path)) return true;
  *error =
      fmt::format("\"{}\" cannot be read: {}", path,
                  errno != 0 ? std::strerror(errno) : "it is no regular file");
  return false;
}

// Reads the next line of "reader" into "*line": false at the end of the
// file. "*ended" tells whether the line ended in a line feed.
bool NextLine(LineReader& reader, std::string* line, bool* ended) {
  if (!reader.Good()) return false;
  *ended = reader.ReadLine(line) == LineReader::Status::kGood;
  return *ended || !line->empty();
}

// Checks one latest row; on success hands it to the sink.
class RowChecker {
 public:
  RowChecker(const Locations& locations, Collection* collection, RowSink* sink)
      : locations_(locations), collection_(collection), sink_(sink) {}

  void Check(std::uint64_t line, std::string_view text, const ResultRow& row) {
    std::string reason;
    if (!Usable(row, &reason)) {
      collection_->refused.push_back({line, reason, ShortenRow(text)});
      return;
    }
    auto [entry, added] = tests_.try_emplace(
        std::string(row.test),
        static_cast<std::uint32_t>(collection_->tests.size()));
    if (added) collection_->tests.emplace_back(row.test);
    usable_.line = line;
    usable_.test = entry->second;
    sink_->Use(usable_);
  }

 private:
  bool Usable(const ResultRow& row, std::string* reason) {
    std::optional<double> runtime = ParseNumber(row.runtime);
    if (!ParseNumber(row.traceLength) || !ParseNumber(row.coverage) ||
        !runtime) {
      *reason = "the trace length, coverage or runtime is not a number";
      return false;
    }
    std::optional<std::uint32_t> application =
        collection_->FindApplication(row.application);
    bool positionsRead = ParsePositions(row.covered, &covered_);
    std::size_t positions = 0;
    if (positionsRead && application &&
        AllPositionsOf(*application).AreTheRest(covered_, row.notCovered)) {
      // The usual row: the not covered field is the rest of the list.
      positions = collection_->methods[*application].size();
    } else {
      if (!positionsRead || !ParsePositions(row.notCovered, &notCovered_) ||
          !IsSplitOfAllPositions(covered_, notCovered_)) {
        *reason =
            "the covered and not covered methods do not list every position "
            "once";
        return false;
      }
      if (!application) {
        *reason = fmt::format(
            "no method list names the application \"{}\": the library "
            "writes no trace file without one",
            row.application);
        return false;
      }
      positions = covered_.size() + notCovered_.size();
      *reason = fmt::format(
          "the method list of \"{}\" has {} methods, the row {}: the "
          "library writes no trace file when they differ",
          row.application, collection_->methods[*application].size(),
          positions);
      return false;
    }
    const std::vector<std::string>& methods =
        collection_->methods[*application];
    TraceCheck check{&methods, &covered_, row.traceLength};
    if (!ReadTrace(TracePath(locations_, row.test, row.application), check,
                   &calls_, &usable_.traceLength, &traceText_, reason)) {
      return false;
    }
    usable_.application = *application;
    usable_.methods = static_cast<std::uint32_t>(positions);
    usable_.covered = &covered_;
    usable_.calls = &calls_;
    usable_.runtimeText = row.runtime;
    usable_.runtime = *runtime;
    return true;
  }

  const AllPositions& AllPositionsOf(std::uint32_t application) {
    if (allPositions_.size() <= application) {
      allPositions_.resize(collection_->applications.size());
    }
    std::unique_ptr<AllPositions>& all = allPositions_[application];
    if (!all) {
      all = std::make_unique<AllPositions>(
          static_cast<std::uint32_t>(collection_->methods[application].size()));
    }
    return *all;
  }

  const Locations& locations_;
  Collection* collection_;
  std::vector<std::unique_ptr<AllPositions>> allPositions_;
  RowSink* sink_;
  std::unordered_map<std::string, std::uint32_t> tests_;
  // Reused from row to row: a row of a large application lists tens of
  // thousands of positions.
  std::vector<std::uint32_t> covered_;
  std::vector<std::uint32_t> notCovered_;
  std::vector<std::int32_t> calls_;
  std::string traceText_;
  UsableRow usable_;
};

std::string RowKey(const ResultRow& row) {
  std::string key(row.test);
  key.push_back('\0');
  key.append(row.application);
  return key;
}

}  // namespace

std::string TracePath(const Locations& locations, std::string_view test,
                      std::string_view application) {
  return fmt::format("{}{}_{}_trace.csv", locations.tracePrefix, test,
                     application);
}

std::optional<std::uint32_t> Collection::FindApplication(
    std::string_view name) const {
  auto found = std::lower_bound(applications.begin(), applications.end(), name);
  if (found == applications.end() || *found != name) return std::nullopt;
  return static_cast<std::uint32_t>(found - applications.begin());
}

bool CollectResults(const Locations& locations,
                    const std::optional<std::string>& onlyApplication,
                    RowSink* sink, Collection* collection, std::string* error) {
  formats::MethodCatalog catalog;
  if (!formats::LoadMethodCatalog(locations.methodsDirectory, &catalog,
                                  error)) {
    return false;
  }
  for (auto& [name, lines] : catalog.applications) {
    collection->applications.push_back(name);
    collection->methods.push_back(std::move(lines));
  }
  collection->methodListProblems = std::move(catalog.problems);
  if (onlyApplication && !collection->FindApplication(*onlyApplication)) {
    *error = fmt::format(
        "no method list in \"{}\" names the application "
        "\"{}\"; known: {}",
        locations.methodsDirectory, *onlyApplication,
        fmt::join(collection->applications, ", "));
    return false;
  }

  // First reading: the latest row of every test and application.
  // Rows are not limited in length: a row lists every method's position.
  LineReader first(LineReader::kNoLimit);
  if (!OpenResults(first, locations.results, error)) return false;
  std::unordered_map<std::string, std::uint64_t> latest;
  std::string text;
  bool ended = false;
  while (NextLine(first, &text, &ended)) {
    if (text == formats::kResultHeader) continue;
    std::string reason;
    std::optional<ResultRow> row;
    if (!ended) {
      reason = "the row has no line end: it may still be being written";
    } else if (text.empty()) {
      reason = "the line is empty";
    } else {
      row = formats::SplitResultRow(text, &reason);
    }
    if (!row) {
      collection->refused.push_back(
          {first.LineNumber(), reason, ShortenRow(text)});
      continue;
    }
    if (onlyApplication && row->application != *onlyApplication) continue;
    auto [entry, added] = latest.try_emplace(RowKey(*row), first.LineNumber());
    if (!added) {
      ++collection->replacedRows;
      entry->second = first.LineNumber();
    }
  }
  if (first.ReadFailed()) {
    *error =
        fmt::format("\"{}\" could not be read to its end", locations.results);
    return false;
  }
  std::vector<bool> isLatest(first.LineNumber() + 1);
  for (const auto& entry : latest) isLatest[entry.second] = true;
  latest = {};

  // Second reading: check the latest rows and use them.
  sink->Start(*collection);
  std::size_t earlyRefusals = collection->refused.size();
  RowChecker checker(locations, collection, sink);
  LineReader second(LineReader::kNoLimit);
  if (!OpenResults(second, locations.results, error)) return false;
  while (NextLine(second, &text, &ended)) {
    std::uint64_t line = second.LineNumber();
    if (line >= isLatest.size() || !isLatest[line]) continue;
    std::string ignored;
    std::optional<ResultRow> row = formats::SplitResultRow(text, &ignored);
    // The file can have changed between the readings.
    if (!row) continue;
    checker.Check(line, text, *row);
  }
  if (second.ReadFailed()) {
    *error =
        fmt::format("\"{}\" could not be read to its end", locations.results);
    return false;
  }
  std::inplace_merge(
      collection->refused.begin(),
      collection->refused.begin() + static_cast<std::ptrdiff_t>(earlyRefusals),
      collection->refused.end(),
      [](const RefusedRow& a, const RefusedRow& b) { return a.line < b.line; });
  return true;
}

}  // namespace ostrivel::report
