#include "coverage/evaluate.h"

#include <charconv>
#include <cstddef>
#include <exception>
#include <limits>
#include <optional>

#include "coverage/decode.h"
#include "coverage/result_file.h"
#include "coverage/timestamp.h"
#include "coverage/trace_file.h"
#include "log/log.h"

namespace ostrivel::coverage {
namespace {

using log::LogLevel;
using log::WriteLog;

void AppendDecimal(std::string& text, std::int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  text.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void EvaluateApplication(const std::string& application,
                         const CoverageVector& counts, const Settings& settings,
                         EvaluationState& state,
                         const MethodLists& methodLists) {
  ResultFile result(settings.res_location, &state.resultFileExists,
                    &state.resultLineOpen);
  const std::string& testName = state.testName;

  WriteLog(LogLevel::Debug, "Test name: ", testName);
  result.Write(testName);
  result.Write(";");
  WriteLog(LogLevel::Debug, "Application name: ", application);
  result.Write(application);
  result.Write(";");
  state.trace_location =
      settings.base_location + testName + "_" + application + "_trace.csv";

  // 64 bits: the sum of 32-bit counts overflows 32 bits long before a
  // realistic array ends.
  std::int64_t traceLength = 0;
  std::size_t coveredCount = 0;
  std::string covered;
  std::string notCovered;
  for (std::size_t position = 0; position < counts.size(); ++position) {
    std::int32_t count = counts[position];
    std::string& list = count != 0 ? covered : notCovered;
    if (!list.empty()) list += ' ';
    AppendDecimal(list, static_cast<std::int64_t>(position));
    if (count != 0) {
      traceLength += count;
      ++coveredCount;
    }
  }

  // An empty array gives 0 / 0; the quotient's sign bit would print as
  // "-nan", so the coverage becomes a plain "nan".
  const double coverage = counts.empty()
                              ? std::numeric_limits<double>::quiet_NaN()
                              : static_cast<double>(coveredCount) /
                                    static_cast<double>(counts.size()) * 100.0;
  const std::int64_t runtime = Runtime(state.testStartTime, state.testEndTime);
  result.WriteNumber(static_cast<double>(traceLength));
  result.Write(";");
  result.WriteNumber(coverage);
  result.Write(";");
  result.WriteNumber(static_cast<double>(runtime));
  result.Write(";");
  result.Write(covered);
  result.Write(";");
  result.Write(notCovered);
  result.EndRow();

  // The coverage's text is at most a dozen characters: built when the line
  // is not written, it still allocates nothing.
  WriteLog(LogLevel::Debug, "Trace length: ", traceLength,
           ", Coverage %: ", formats::FormatNumber(coverage),
           "%, Runtime: ", runtime, " milisec");

  TracePath(application, counts, state.trace_location, methodLists);
}

}  // namespace

std::int64_t Runtime(std::int64_t startTime, std::int64_t endTime) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (startTime < 0 && endTime > kMax + startTime) return kMax;
  if (startTime > 0 && endTime < kMin + startTime) return kMin;
  return endTime - startTime;
}

void EvaluateAnswer(std::string_view body, const Settings& settings,
                    EvaluationState& state, const MethodLists& methodLists) {
  try {
    WriteLog(LogLevel::Simple, "Evaluating.");
    std::optional<MessageContent> content = DecodeMessage(body);
    if (!content) {
      // Refused whole: a harness must never get half a row, nor a time from
      // an answer it cannot trust.
      WriteLog(LogLevel::Error, "Error in message: ", body);
      return;
    }
    const std::int64_t time = TimestampToMilliseconds(content->timestamp);
    if (!content->hasData) {
      state.testStartTime = time;
      return;
    }
    state.testEndTime = time;
    for (const auto& [application, counts] : content->data) {
      EvaluateApplication(application, counts, settings, state, methodLists);
    }
  } catch (const std::exception& error) {
    // Out of memory on a huge answer: whatever was written stays, the
    // harness goes on.
    WriteLog(LogLevel::Error, "Error in evaluation. (", error.what(), ")");
  }
}

}  // namespace ostrivel::coverage
