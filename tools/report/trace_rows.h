#ifndef OSTRIVEL_TOOLS_REPORT_TRACE_ROWS_H_
#define OSTRIVEL_TOOLS_REPORT_TRACE_ROWS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::report {

// The trace file of one test and application, as written for a result row.
struct TraceCheck {
  // The method-list lines of the application.
  const std::vector<std::string>* methods = nullptr;
  // The row's covered positions, ascending.
  const std::vector<std::uint32_t>* covered = nullptr;
  // The row's trace length as written.
  std::string_view traceLength;
};

// Reads the trace file at "path" and checks that it belongs to the row
// described by "check": a row per covered position, in order, naming that
// position's method-list line, with a count that is not 0, and counts that
// add up to the row's trace length. On success fills "*counts" (one per
// covered position) and "*traceLength" (their exact sum). Otherwise returns
// false with the reason in "*reason". "*buffer" is reused between calls.
bool ReadTrace(const std::string& path, const TraceCheck& check,
               std::vector<std::int32_t>* counts, std::int64_t* traceLength,
               std::string* buffer, std::string* reason);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_TRACE_ROWS_H_
