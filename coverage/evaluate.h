#ifndef OSTRIVEL_COVERAGE_EVALUATE_H_
#define OSTRIVEL_COVERAGE_EVALUATE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "coverage/message_content.h"
#include "coverage/method_list.h"
#include "harness/state.h"

namespace ostrivel::coverage {

// Turns one answer body of the collection service into results: an answer
// without "data" stores its time as the start of the test; an answer with
// "data" stores the end and writes a result row, a log line and a trace
// file per application. A body that cannot be decoded is logged and changes
// nothing. Never throws.
void Evaluate(std::string body);

// As Evaluate, on the given state instead of the process-wide one: the
// result file is "settings.res_location", trace files go below
// "settings.base_location", and the times, "resultFileExists",
// "resultLineOpen" and "trace_location" of "collector" are updated. The log
// stays process-wide.
void EvaluateAnswer(std::string_view body, const harness::Settings& settings,
                    harness::CollectorState& collector,
                    const MethodLists& methodLists);

// The runtime of a test, end minus start; saturates instead of overflowing.
std::int64_t Runtime(std::int64_t startTime, std::int64_t endTime);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_EVALUATE_H_
