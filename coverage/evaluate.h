#ifndef OSTRIVEL_COVERAGE_EVALUATE_H_
#define OSTRIVEL_COVERAGE_EVALUATE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "coverage/message_content.h"
#include "coverage/method_list.h"

namespace ostrivel::coverage {

// Where the evaluation writes. The names follow the configuration keys.
struct Settings {
  // Trace files are "<base_location><test>_<application>_trace.csv".
  std::string base_location;
  std::string res_location;  // the result file
};

// What the evaluation keeps between answers, and the test they belong to.
struct EvaluationState {
  std::string testName;
  // False until a row probed the result file and found it; the header is
  // written when the probe finds none.
  bool resultFileExists = false;
  // The result file ends in part of a row that could not be removed: the
  // next row starts with a line end.
  bool resultLineOpen = false;
  std::int64_t testStartTime = 0;  // ms since the epoch
  std::int64_t testEndTime = 0;    // ms since the epoch
  std::string trace_location;      // the last trace file's path
};

// Turns one answer body of the collection service into results: an answer
// without "data" stores its time as the start of the test; an answer with
// "data" stores the end and writes a result row to "settings.res_location",
// a log line and a trace file below "settings.base_location" per
// application, paired with its list in "methodLists". The times,
// "resultFileExists", "resultLineOpen" and "trace_location" of "state" are
// updated. A body that cannot be decoded is logged and changes nothing. Never
// throws: running out of memory on a huge answer is logged at level 2 and
// keeps what was written.
void EvaluateAnswer(std::string_view body, const Settings& settings,
                    EvaluationState& state, const MethodLists& methodLists);

// The runtime of a test, end minus start; saturates instead of overflowing.
std::int64_t Runtime(std::int64_t startTime, std::int64_t endTime);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_EVALUATE_H_
