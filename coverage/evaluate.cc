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
                         const CoverageVector& counts,
                         const harness::Settings& settings,
                         harness::CollectorState& collector,
                         const MethodLists& methodLists) {
  ResultFile result(settings.res_location, &collector.resultFileExists,
                    &collector.resultLineOpen);
  const std::string& testName = collector.testName;

  WriteLog(LogLevel::Debug, "Test name: " + testName);
  result.Write(testName + ";");
  WriteLog(LogLevel::Debug, "Application name: " + application);
  result.Write(application + ";");
  collector.trace_location =
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
  const std::int64_t runtime =
      Runtime(collector.testStartTime, collector.testEndTime);
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

  if (log::Admits(LogLevel::Debug)) {
    std::string summary = "Trace length: ";
    AppendDecimal(summary, traceLength);
    summary += ", Coverage %: ";
    summary += FormatNumber(coverage);
    summary += "%, Runtime: ";
    AppendDecimal(summary, runtime);
    summary += " milisec";
    WriteLog(LogLevel::Debug, std::move(summary));
  }

  TracePath(application, counts, collector.trace_location, methodLists);
}

}  // namespace

std::int64_t Runtime(std::int64_t startTime, std::int64_t endTime) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (startTime < 0 && endTime > kMax + startTime) return kMax;
  if (startTime > 0 && endTime < kMin + startTime) return kMin;
  return endTime - startTime;
}

void EvaluateAnswer(std::string_view body, const harness::Settings& settings,
                    harness::CollectorState& collector,
                    const MethodLists& methodLists) {
  WriteLog(LogLevel::Simple, "Evaluating.");
  std::optional<MessageContent> content = DecodeMessage(body);
  if (!content) {
    // Refused whole: a harness must never get half a row, nor a time from
    // an answer it cannot trust.
    std::string message = "Error in message: ";
    message += body;
    WriteLog(LogLevel::Error, std::move(message));
    return;
  }
  const std::int64_t time = TimestampToMilliseconds(content->timestamp);
  if (!content->hasData) {
    collector.testStartTime = time;
    return;
  }
  collector.testEndTime = time;
  for (const auto& [application, counts] : content->data) {
    EvaluateApplication(application, counts, settings, collector, methodLists);
  }
}

// The body comes by value so that the exchange can hand over its own text.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void Evaluate(std::string body) {
  try {
    auto& state = harness::State();
    EvaluateAnswer(body, state.settings, state.collector, state.methodLists);
  } catch (const std::exception& error) {
    // Out of memory on a huge answer: whatever was written stays, the
    // harness goes on.
    try {
      WriteLog(LogLevel::Error,
               std::string("Error in evaluation. (") + error.what() + ")");
    } catch (...) {
    }
  }
}

}  // namespace ostrivel::coverage
