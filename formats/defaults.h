#ifndef OSTRIVEL_FORMATS_DEFAULTS_H_
#define OSTRIVEL_FORMATS_DEFAULTS_H_

#include <string>
#include <string_view>

namespace ostrivel::formats {

// The base of every built-in default path: without a configuration the log,
// the result file, the trace files and the method lists lie under it.
inline constexpr std::string_view kDefaultBase = "C:/Coverage/";

// The names under the base.
inline constexpr std::string_view kLogFileName = "log.txt";
inline constexpr std::string_view kResultFileName = "result.csv";
inline constexpr std::string_view kMethodsFolderName = "methods/";

// kDefaultBase followed by "name" (one of the names above).
inline std::string DefaultPath(std::string_view name) {
  std::string path(kDefaultBase);
  path += name;
  return path;
}

}  // namespace ostrivel::formats

#endif  // OSTRIVEL_FORMATS_DEFAULTS_H_
