#ifndef OSTRIVEL_TOOLS_REPORT_IMPACT_COMMAND_H_
#define OSTRIVEL_TOOLS_REPORT_IMPACT_COMMAND_H_

#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/report/collected_results.h"
#include "tools/report/diff_source.h"
#include "tools/report/impact.h"

namespace ostrivel::report {

// Exit code of "impacted" when every test must run.
inline constexpr int kAllTests = 3;

// What "impacted" and "gaps" are asked, as the command line gives it.
struct ImpactRequest {
  DiffSource diff;
  // "PATH", or "APP=PATH" to name the application whose list it counts into.
  std::vector<std::string> binaries;
  std::string sourceRoot;
  // "lines" (one test per line), "gtest-filter", "test-list" or "json".
  std::string format = "lines";
  std::string testList;  // for "test-list"
  bool onlyMapped = false;
  // Read the result and trace files even when an index is up to date, and
  // write none.
  bool noIndex = false;
};

// "--binary" values as programs: "PATH" when a file of that name exists,
// else "APP=PATH".
std::vector<ImpactBinary> ParseBinaries(
    const std::vector<std::string>& arguments);

// The tests the diff concerns, most relevant first, in the format asked.
// Returns 0 with a selection, kAllTests when the traces cannot speak for the
// change (the reasons on "err"; "--only-mapped" prints the selection
// instead, with the reasons), 1 when no test reaches the change, 2 for
// input that cannot be used.
int RunImpacted(const Locations& locations, const ImpactRequest& request,
                std::istream& in, std::ostream& out, std::ostream& err);

// The changed methods no test reaches: "FILE:LINE<TAB>APP<TAB>method line"
// per method. Returns 0 when there are none, 1 when some are listed, 2 for
// input that cannot be used or when no row can be used.
int RunGaps(const Locations& locations, const ImpactRequest& request,
            std::istream& in, std::ostream& out, std::ostream& err);

// The gaps of "request" for the page written with --diff, and the reasons
// why some changes could not be mapped. Nothing, with the message on
// "err", when the input cannot be used.
bool FindGaps(const Locations& locations, const ImpactRequest& request,
              std::istream& in, std::vector<ChangedGap>* gaps,
              std::vector<std::string>* unmapped, std::ostream& err);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_IMPACT_COMMAND_H_
