#ifndef OSTRIVEL_TOOLS_FILE_FORMATS_CONFIG_VALUE_H_
#define OSTRIVEL_TOOLS_FILE_FORMATS_CONFIG_VALUE_H_

#include <optional>
#include <string>

namespace ostrivel::tools {

// The value of "key" in the library's configuration file at "path", read
// with the library's rules: the key is the text before a line's first ":",
// key and value are trimmed of spaces, keys match exactly, the last
// occurrence wins, a CR before the line feed is dropped and a line holds at
// most 1023 characters (a longer one counts with its first 1023 and ends the
// reading). Nothing when the file cannot be read or lacks the key.
std::optional<std::string> ReadConfigValue(const std::string& path,
                                           const std::string& key);

// The same rules applied to the text of a configuration file.
std::optional<std::string> FindConfigValue(const std::string& text,
                                           const std::string& key);

}  // namespace ostrivel::tools

#endif  // OSTRIVEL_TOOLS_FILE_FORMATS_CONFIG_VALUE_H_
