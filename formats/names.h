#ifndef OSTRIVEL_FORMATS_NAMES_H_
#define OSTRIVEL_FORMATS_NAMES_H_

#include <algorithm>
#include <string>

namespace ostrivel::formats {

// Replaces every CR and every LF in a test or application name with "_".
// Names go unquoted into result rows, log lines and trace-file paths, where
// a line break would start a row or a line of its own.
inline void ReplaceLineBreaks(std::string& name) {
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; },
      '_');
}

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_NAMES_H_
