#ifndef OSTRIVEL_COVERAGE_RESULT_FILE_H_
#define OSTRIVEL_COVERAGE_RESULT_FILE_H_

#include <string>
#include <string_view>

#include "formats/result_format.h"

namespace ostrivel::coverage {

// Builds one row of the result file at "path" from its pieces and appends
// it whole, in one write, so that neither a failure nor another process
// appending to the same file can leave part of a row glued to another.
//
// When "*fileExists" is false the file is probed when the row is written
// and "*fileExists" set to whether it exists; a row whose probe found no file
// is preceded by the header line (formats::kResultHeader). A file that cannot
// be opened (also a FIFO, a socket or a directory) loses the row, reported as
// "Unable to open result-file!" on standard error and at level 2 in the log; a
// failed write or close loses it as "Unable to write result-file!". "*lineOpen"
// records a row cut short in the file (see platform::AppendToFile), so that the
// next row starts on a line of its own. "\n" is written as CR LF. "path" and
// both flags must outlive this object.
class ResultFile {
 public:
  ResultFile(const std::string& path, bool* fileExists, bool* lineOpen)
      : path_(path), fileExists_(fileExists), lineOpen_(lineOpen) {}

  // Adds "piece" to the row.
  void Write(std::string_view piece);
  void WriteNumber(double value) { row_ += formats::FormatNumber(value); }
  // Ends the row with "\n" and appends it to the file. Returns true when
  // the whole row reached the file. The next piece starts a new row.
  bool EndRow();

 private:
  const std::string& path_;
  bool* fileExists_;
  bool* lineOpen_;
  std::string row_;  // with CR LF line ends
};

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_RESULT_FILE_H_
