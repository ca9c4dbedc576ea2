#ifndef OSTRIVEL_PLATFORM_INTEGER_H_
#define OSTRIVEL_PLATFORM_INTEGER_H_

#include <cstdint>
#include <string_view>

namespace ostrivel::platform {

// Converts the start of "text" the way the C library's atoi does: leading
// white space (" \t\n\v\f\r") is skipped, an optional "+" or "-" is taken,
// then the decimal digits up to the first other character. Gives 0 when no
// digit follows. Unlike atoi, a value beyond the 32-bit range is well
// defined: it saturates to INT32_MIN or INT32_MAX.
std::int32_t ToInt32(std::string_view text);

}  // namespace ostrivel::platform

#endif  // OSTRIVEL_PLATFORM_INTEGER_H_
