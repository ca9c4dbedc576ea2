#ifndef OSTRIVEL_COVERAGE_RESULT_FILE_H_
#define OSTRIVEL_COVERAGE_RESULT_FILE_H_

#include <string>
#include <string_view>

namespace ostrivel::coverage {

// The first line of a new result file.
inline constexpr std::string_view kResultHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\n";

// "value" as a standard output stream writes a double by default: %g with
// six significant digits ("50", "33.3333", "1.23457e+06", "nan", "inf").
std::string FormatNumber(double value);

// Appends pieces of rows to the result file at "path", opening and closing
// the file for every piece so that other programs may read, move or delete
// it in between. While "*fileExists" is false each piece first probes the
// file and stores whether it exists; a piece whose probe found no file is
// preceded by the header line. A file that cannot be opened for appending
// loses the piece, which is reported as "Unable to open result-file!" on
// standard error and at level 2 in the log. "\n" is written as CR LF.
// "path" and "*fileExists" must outlive this object.
class ResultFile {
 public:
  ResultFile(const std::string& path, bool* fileExists)
      : path_(path), fileExists_(fileExists) {}

  void Write(std::string_view piece);
  void WriteNumber(double value) { Write(FormatNumber(value)); }

 private:
  const std::string& path_;
  bool* fileExists_;
};

// As ResultFile, on the process-wide "res_location" and "resultFileExists".
void WriteResult(std::string_view piece);
void WriteResultNumber(double value);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_RESULT_FILE_H_
