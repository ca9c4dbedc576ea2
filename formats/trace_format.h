#ifndef OSTRIVEL_FORMATS_TRACE_FORMAT_H_
#define OSTRIVEL_FORMATS_TRACE_FORMAT_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrivel::formats {

// The first line of every trace file, without its line end (the file's
// lines end in CR LF). Each further line is a trace row.
inline constexpr std::string_view kTraceHeader =
    "ID; Method; Package; Number of calls";

// A trace row: "<method line>;<calls>", the method line as its method list
// holds it (";" included) and its calls in decimal, never 0.
struct TraceRow {
  std::string_view method;
  std::int32_t calls = 0;
};

// Splits a trace row (without its line end) after its last ";". Nothing
// when the line has no ";" or the text after it is no count other than 0.
std::optional<TraceRow> SplitTraceRow(std::string_view line);

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_TRACE_FORMAT_H_
