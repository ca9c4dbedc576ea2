#ifndef OSTRIVEL_TOOLS_REPORT_DIFF_SOURCE_H_
#define OSTRIVEL_TOOLS_REPORT_DIFF_SOURCE_H_

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "tools/report/unified_diff.h"

namespace ostrivel::report {

// Where the diff comes from: a file ("-" for standard input) or the
// revision to run "git diff" against in the current directory.
struct DiffSource {
  std::string file;
  std::string gitRevision;
};

// git diff may run this long before it is stopped.
inline constexpr int kGitTimeoutMs = 300000;

// Reads and parses the diff of "source"; "standardInput" is read for "-".
// Returns nothing with a message in "*error" when it cannot be read, git
// fails or the diff is malformed (see ParseUnifiedDiff()).
std::optional<std::vector<FileChange>> ReadDiff(const DiffSource& source,
                                                std::istream& standardInput,
                                                std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_DIFF_SOURCE_H_
