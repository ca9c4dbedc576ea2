#ifndef OSTRIVEL_FORMATS_CONFIG_FORMAT_H_
#define OSTRIVEL_FORMATS_CONFIG_FORMAT_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostrivel::formats {

// The two sides of a configuration line, not yet trimmed: the key is the
// text before the line's first ":", the value the text after it. A line
// without ":" is both key and value.
struct OptionText {
  std::string_view key;
  std::string_view value;
};
OptionText SplitOptionLine(std::string_view line);

// "text" without its leading and trailing spaces (tabs stay).
std::string_view TrimBlanks(std::string_view text);

// Calls "apply" with each line of the configuration file at "path", in
// order: a line ends at LF (a CR before it dropped), a last line without LF
// counts, and a line longer than 1023 characters counts with its first 1023
// and ends the file. Only the bytes the file held when it was opened are
// read. Returns false when the file cannot be opened (also a FIFO, a socket
// or a directory).
bool ReadConfigLines(const std::string& path,
                     const std::function<void(const std::string&)>& apply);

// The value of "key" in the configuration file at "path", read as the
// library reads it: keys and values trimmed of spaces, keys matched exactly,
// the last occurrence wins. Nothing when the file cannot be read or lacks
// the key.
std::optional<std::string> ReadConfigValue(const std::string& path,
                                           std::string_view key);

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_CONFIG_FORMAT_H_
