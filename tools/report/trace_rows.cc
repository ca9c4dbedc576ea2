#include "tools/report/trace_rows.h"

#include <charconv>
#include <cstdio>
#include <utility>

#include <fmt/format.h>

#include "tools/report/result_rows.h"

namespace ostrivel::report {

namespace {

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  text->clear();
  char chunk[1 << 16];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    text->append(chunk, got);
  }
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

// The next line of "text" from "*position" on, without its line end.
std::string_view NextLine(std::string_view text, std::size_t* position) {
  std::size_t end = text.find('\n', *position);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(*position, end - *position);
  *position = end == text.size() ? end : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

bool ReadTrace(const std::string& path, const TraceCheck& check,
               std::vector<std::int32_t>* counts, std::int64_t* traceLength,
               std::string* buffer, std::string* reason) {
  if (!ReadWholeFile(path, buffer)) {
    *reason = fmt::format("the trace file \"{}\" is missing", path);
    return false;
  }
  std::string_view text = *buffer;
  std::size_t position = 0;
  if (NextLine(text, &position) != kTraceHeader) {
    *reason = fmt::format("the trace file \"{}\" has no trace header", path);
    return false;
  }

  const std::vector<std::string>& methods = *check.methods;
  const std::vector<std::uint32_t>& covered = *check.covered;
  counts->clear();
  std::int64_t sum = 0;
  std::size_t rows = 0;
  std::string mismatch;
  while (position < text.size()) {
    std::string_view line = NextLine(text, &position);
    // The entry is the method-list line, which holds ";" itself: the count
    // is what follows the last one.
    std::size_t semicolon = line.rfind(';');
    std::int32_t count = 0;
    const char* end = line.data() + line.size();
    std::from_chars_result parsed{};
    if (semicolon != std::string_view::npos) {
      parsed = std::from_chars(line.data() + semicolon + 1, end, count);
    }
    if (semicolon == std::string_view::npos || parsed.ec != std::errc() ||
        parsed.ptr != end || count == 0) {
      *reason = fmt::format("line {} of the trace file \"{}\" is no trace row",
                            rows + 2, path);
      return false;
    }
    std::string_view entry = line.substr(0, semicolon);
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
