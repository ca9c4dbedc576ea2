#include "tools/report/trace_rows.h"

#include <optional>
#include <utility>

#include <fmt/format.h>

#include "formats/trace_format.h"
#include "platform/text_file.h"
#include "tools/report/result_rows.h"

namespace ostrivel::report {

bool ReadTrace(const std::string& path, const TraceCheck& check,
               std::vector<std::int32_t>* counts, std::int64_t* traceLength,
               std::string* buffer, std::string* reason) {
  platform::LineReader reader(platform::LineReader::kNoLimit);
  if (!reader.Open(path)) {
    *reason = fmt::format("the trace file \"{}\" is missing", path);
    return false;
  }
  std::string& line = *buffer;
  reader.ReadLine(&line);
  if (line != formats::kTraceHeader) {
    *reason = fmt::format("the trace file \"{}\" has no trace header", path);
    return false;
  }

  const std::vector<std::string>& methods = *check.methods;
  const std::vector<std::uint32_t>& covered = *check.covered;
  counts->clear();
  std::int64_t sum = 0;
  std::size_t rows = 0;
  std::string mismatch;
  // A last line without its line end counts as a row all the same.
  while (reader.Good()) {
    if (reader.ReadLine(&line) != platform::LineReader::Status::kGood &&
        line.empty()) {
      break;
    }
    std::optional<formats::TraceRow> row = formats::SplitTraceRow(line);
    if (!row) {
      *reason = fmt::format("line {} of the trace file \"{}\" is no trace row",
                            rows + 2, path);
      return false;
    }
    std::string_view entry = row->method;
    std::int32_t count = row->calls;
    if (mismatch.empty() && rows < covered.size() &&
        covered[rows] < methods.size() && entry != methods[covered[rows]]) {
      mismatch = fmt::format(
          "the trace file \"{}\" names \"{}\" where the method list has "
          "\"{}\" at position {}: the method list changed since the run, or "
          "the trace file comes from another run",
          path, entry, methods[covered[rows]], covered[rows]);
    }
    counts->push_back(count);
    sum += count;
    ++rows;
  }

  if (reader.ReadFailed()) {
    *reason =
        fmt::format("the trace file \"{}\" could not be read to its end", path);
    return false;
  }
  // Different calls tell of another run for sure; a different method line
  // with the same calls more likely of a changed method list.
  if (rows != covered.size() ||
      formats::FormatNumber(static_cast<double>(sum)) != check.traceLength) {
    *reason = fmt::format(
        "the trace file \"{}\" holds {} calls of {} methods, the row {} calls "
        "of {}: they come from different runs",
        path, sum, rows, check.traceLength, covered.size());
    return false;
  }
  if (!mismatch.empty()) {
    *reason = std::move(mismatch);
    return false;
  }
  *traceLength = sum;
  return true;
}

}  // namespace ostrivel::report
