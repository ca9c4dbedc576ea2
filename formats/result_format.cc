#include "formats/result_format.h"

#include <charconv>
#include <cstddef>

namespace ostrivel::formats {

namespace {

constexpr std::size_t kFields = 7;

}  // namespace

std::string FormatNumber(double value) {
  // to_chars in general form with precision 6 gives the text of %g (and so
  // of a stream's default), without a stream or the locale.
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                              std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

std::optional<ResultRow> SplitResultRow(std::string_view line,
                                        std::string* reason) {
  std::string_view fields[kFields];
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    std::size_t semicolon = line.find(';', start);
    std::string_view field = line.substr(
        start, semicolon == std::string_view::npos ? std::string_view::npos
                                                   : semicolon - start);
    if (count < kFields) fields[count] = field;
    ++count;
    if (semicolon == std::string_view::npos) break;
    start = semicolon + 1;
  }
  if (count != kFields) {
    *reason = "the row has " + std::to_string(count) + " fields instead of " +
              std::to_string(kFields);
    if (count > kFields) {
      *reason += ": a test or application name holds \";\"";
    }
    return std::nullopt;
  }
  return ResultRow{fields[0], fields[1], fields[2], fields[3],
                   fields[4], fields[5], fields[6]};
}

}  // namespace ostrivel::formats
