#ifndef OSTRIVEL_FORMATS_RESULT_FORMAT_H_
#define OSTRIVEL_FORMATS_RESULT_FORMAT_H_

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

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_RESULT_FORMAT_H_
