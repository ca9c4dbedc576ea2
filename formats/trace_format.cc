#include "formats/trace_format.h"

#include <charconv>

namespace ostrivel::formats {

std::optional<TraceRow> SplitTraceRow(std::string_view line) {
  // The method line holds ";" itself: the count is what follows the last
  // one.
  std::size_t semicolon = line.rfind(';');
  if (semicolon == std::string_view::npos) return std::nullopt;
  TraceRow row;
  const char* end = line.data() + line.size();
  auto parsed = std::from_chars(line.data() + semicolon + 1, end, row.calls);
  if (parsed.ec != std::errc() || parsed.ptr != end || row.calls == 0) {
    return std::nullopt;
  }
  row.method = line.substr(0, semicolon);
  return row;
}

}  // namespace ostrivel::formats
