// The timestamp conversion on arbitrary text, against a second, plain reading
// of the same rules through the C library (strtoll in place of atoi, so that
// any number of digits stays defined).

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

#include "coverage/timestamp.h"
#include "fuzz/fuzz_environment.h"

namespace {

using ostrivel::fuzz::Check;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

int Clamp(long long value) {
  if (value < INT_MIN) return INT_MIN;
  if (value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

int Atoi(const std::string& text) {
  return Clamp(std::strtoll(text.c_str(), nullptr, 10));
}

std::int64_t Expected(std::string_view timestamp) {
  // A C string: everything from the first NUL on is not part of it.
  std::string s(timestamp.substr(0, timestamp.find('\0')));
  static constexpr char kSeparators[6] = {'.', '.', ' ', ':', ':', '.'};
  int fields[7];
  for (int i = 0; i < 6; ++i) {
    fields[i] = Atoi(s);
    // npos + 1 is 0: without the separator the text stays whole.
    s = s.substr(s.find(kSeparators[i]) + 1);
  }
  fields[6] = Atoi(s);

  std::tm timeinfo{};
  timeinfo.tm_year = Clamp(static_cast<long long>(fields[0]) - 1900);
  timeinfo.tm_mon = Clamp(static_cast<long long>(fields[1]) - 1);
  timeinfo.tm_mday = fields[2];
  timeinfo.tm_hour = fields[3];
  timeinfo.tm_min = fields[4];
  timeinfo.tm_sec = fields[5];
  timeinfo.tm_isdst = -1;
  const std::int64_t seconds = std::mktime(&timeinfo);

  std::int64_t scaled = 0;
  std::int64_t sum = 0;
  if (__builtin_mul_overflow(seconds, 1000, &scaled) ||
      __builtin_add_overflow(scaled, fields[6], &sum)) {
    // Beyond 64 bits the result saturates; the milliseconds are too few to
    // change the sign of so large a value.
    return seconds > 0 ? kMax : kMin;
  }
  return sum;
}

// A result within this distance of a 64-bit limit may saturate early, some
// 290 million years away from now.
constexpr std::int64_t kNearLimit = std::int64_t{1} << 42;

bool Agrees(std::int64_t converted, std::int64_t expected) {
  if (converted == expected) return true;
  if (expected > kMax - kNearLimit) return converted == kMax;
  if (expected < kMin + kNearLimit) return converted == kMin;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::int64_t converted = ostrivel::coverage::TimestampToMilliseconds(text);
  Check(Agrees(converted, Expected(text)),
        "the conversion differs from the plain reading of the fields");
  return 0;
}
