#include "formats/result_format.h"

#include <charconv>

namespace ostrivel::formats {

std::string FormatNumber(double value) {
  // to_chars in general form with precision 6 gives the text of %g (and so
  // of a stream's default), without a stream or the locale.
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                              std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

}  // namespace ostrivel::formats
