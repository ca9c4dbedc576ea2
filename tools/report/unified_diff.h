#ifndef OSTRIVEL_TOOLS_REPORT_UNIFIED_DIFF_H_
#define OSTRIVEL_TOOLS_REPORT_UNIFIED_DIFF_H_

// The changes of a unified diff ("diff -u", "git diff"), told on the old
// side: the side the programs whose traces exist were built from, so that
// the line numbers agree with their debug information.

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace ostrivel::report {

struct FileChange {
  std::string oldPath;  // empty for a new file
  std::string newPath;  // empty for a deleted file
  bool binary = false;  // "Binary files ... differ", "GIT binary patch"
  // Old-side lines removed or replaced, ascending, each once.
  std::vector<std::uint32_t> changed;
  // Old-side lines after which new lines were inserted (0: before the
  // first line), ascending, each once.
  std::vector<std::uint32_t> insertedAfter;

  bool IsNew() const { return oldPath.empty(); }
  bool IsDeleted() const { return newPath.empty(); }
  // The path that names the file in messages.
  const std::string& Path() const {
    return oldPath.empty() ? newPath : oldPath;
  }
};

// Reads the unified diff on "in": the files it changes, in order. The
// "a/" and "b/" prefixes of a git diff are dropped; renames, new and
// deleted files (git's headers or "/dev/null"), mode changes and binary
// files are understood; text around the file sections (a commit message)
// is skipped. Returns nothing with "line N: WHAT" in "*error" when the diff
// is malformed: a hunk without its file header, a bad "@@" line, or a hunk
// whose lines do not add up to its counts.
std::optional<std::vector<FileChange>> ParseUnifiedDiff(std::istream& in,
                                                        std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_UNIFIED_DIFF_H_
