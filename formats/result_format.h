#ifndef OSTRIVEL_FORMATS_RESULT_FORMAT_H_
#define OSTRIVEL_FORMATS_RESULT_FORMAT_H_

#include <optional>
#include <string>
#include <string_view>

namespace ostrivel::formats {

// The first line of a result file, without its line end (the file's lines
// end in CR LF).
inline constexpr std::string_view kResultHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs";

// "value" as a standard output stream writes a double by default: %g with
// six significant digits ("50", "33.3333", "1.23457e+06", "nan", "inf").
// The number columns of a result row are written this way.
std::string FormatNumber(double value);

// The seven fields of a result row, as views into the row's text.
struct ResultRow {
  std::string_view test;
  std::string_view application;
  std::string_view traceLength;
  std::string_view coverage;
  std::string_view runtime;
  std::string_view covered;
  std::string_view notCovered;
};

// Splits a row (without its line end) at its ";". Rows are not quoted, so a
// name holding ";" gives more than seven fields: such a row, and one with
// fewer, yields nothing and a reason in "*reason" ("the row has 8 fields
// instead of 7: a test or application name holds \";\"").
std::optional<ResultRow> SplitResultRow(std::string_view line,
                                        std::string* reason);

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_RESULT_FORMAT_H_
