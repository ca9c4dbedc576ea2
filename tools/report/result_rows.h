#ifndef OSTRIVEL_TOOLS_REPORT_RESULT_ROWS_H_
#define OSTRIVEL_TOOLS_REPORT_RESULT_ROWS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/result_format.h"

namespace ostrivel::report {

using formats::ResultRow;

// Reads a list of decimal positions separated by one blank ("0 2 5"; empty
// for none) into "*positions". False when the text is anything else or the
// positions do not ascend.
bool ParsePositions(std::string_view text,
                    std::vector<std::uint32_t>* positions);

// True when "covered" and "notCovered" (ascending) together hold each of the
// positions 0 to covered.size() + notCovered.size() - 1 exactly once.
bool IsSplitOfAllPositions(const std::vector<std::uint32_t>& covered,
                           const std::vector<std::uint32_t>& notCovered);

// The text "0 1 2 ... count-1", to check a row's not covered positions
// without reading each number: they are the gaps between the covered ones,
// so the field must be pieces of this text joined by blanks.
class AllPositions {
 public:
  explicit AllPositions(std::uint32_t count);

  std::uint32_t count() const { return count_; }

  // True when "notCovered" lists exactly the positions below count() that
  // "covered" (ascending, as ParsePositions gives them) lacks.
  bool AreTheRest(const std::vector<std::uint32_t>& covered,
                  std::string_view notCovered) const;

 private:
  std::uint32_t count_;
  std::string text_;
  // Where each position's digits start in text_; one more entry, one past
  // the end of text_, closes the last.
  std::vector<std::size_t> starts_;
};

// A number column's value; "nan" counts as a number (the coverage of an
// application without methods).
std::optional<double> ParseNumber(std::string_view text);

// A row for messages: whole when short, else its start and how much is
// left out.
std::string ShortenRow(std::string_view row);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_RESULT_ROWS_H_
