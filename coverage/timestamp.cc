#include "coverage/timestamp.h"

#include <cstddef>
#include <ctime>
#include <limits>
#include <string>

#include "platform/integer.h"

namespace ostrivel::coverage {
namespace {

constexpr std::int64_t kIntMin = std::numeric_limits<int>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

int ClampToInt(std::int64_t value) {
  if (value < kIntMin) return static_cast<int>(kIntMin);
  if (value > kIntMax) return static_cast<int>(kIntMax);
  return static_cast<int>(value);
}

// atoi's reading, but saturating: atoi itself has no defined result for a
// number beyond int, and a timestamp is text from the network.
int ReadField(std::string_view text) { return platform::ToInt32(text); }

// The text behind the first "separator", or "text" itself when it has none.
std::string_view Cut(std::string_view text, char separator) {
  std::size_t at = text.find(separator);
  return at == std::string_view::npos ? text : text.substr(at + 1);
}

}  // namespace

std::int64_t TimestampToMilliseconds(std::string_view timestamp) {
  // atoi stops at the first NUL; so does this reading.
  std::string_view rest = timestamp.substr(0, timestamp.find('\0'));
  int fields[6];
  static constexpr char kSeparators[6] = {'.', '.', ' ', ':', ':', '.'};
  for (int i = 0; i < 6; ++i) {
    fields[i] = ReadField(rest);
    rest = Cut(rest, kSeparators[i]);
  }
  const std::int64_t milliseconds = ReadField(rest);

  std::tm timeinfo{};
  timeinfo.tm_year = ClampToInt(std::int64_t{fields[0]} - 1900);
  timeinfo.tm_mon = ClampToInt(std::int64_t{fields[1]} - 1);
  timeinfo.tm_mday = fields[2];
  timeinfo.tm_hour = fields[3];
  timeinfo.tm_min = fields[4];
  timeinfo.tm_sec = fields[5];
  timeinfo.tm_isdst = -1;
  const std::int64_t seconds = std::mktime(&timeinfo);

  // Far-off years overflow 64 bits once multiplied; such a time saturates.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (seconds > (kMax - kIntMax) / 1000) return kMax;
  if (seconds < (kMin - kIntMin) / 1000) return kMin;
  return seconds * 1000 + milliseconds;
}

}  // namespace ostrivel::coverage
