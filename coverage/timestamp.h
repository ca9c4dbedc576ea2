#ifndef OSTRIVEL_COVERAGE_TIMESTAMP_H_
#define OSTRIVEL_COVERAGE_TIMESTAMP_H_

#include <cstdint>
#include <string_view>

namespace ostrivel::coverage {

// Converts "year.month.day hour:minute:second.milliseconds", read as local
// time, into milliseconds since 1970-01-01 00:00:00 UTC.
//
// Seven fields are read in order, each as the C library's atoi reads the
// start of the remaining text (blanks, a sign, digits; 0 without digits).
// After each of the first six the text is cut behind the first occurrence
// of that field's separator (".", ".", " ", ":", ":", "."); without one it
// stays whole, so the next field reads the same number again. The last
// field is a count of milliseconds: ".5" adds 5 ms. Out-of-range fields are
// normalised by mktime (daylight saving decided by the C library); a time
// mktime rejects counts as -1 s. Nothing is validated; a field too large
// for an int and a result beyond 64 bits saturate instead of overflowing.
std::int64_t TimestampToMilliseconds(std::string_view timestamp);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_TIMESTAMP_H_
