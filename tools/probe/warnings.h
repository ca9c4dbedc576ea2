#ifndef OSTRIVEL_TOOLS_PROBE_WARNINGS_H_
#define OSTRIVEL_TOOLS_PROBE_WARNINGS_H_

#include <string>

namespace ostrivel::probe {

// Writes "ostrivel-probe: automatic counting is off: <reason>" as one line
// to standard error, control characters of "reason" escaped, and appends
// the same line to the file named by OSTRIVEL_PROBE_WARNINGS when that is
// set (ostrivel-run sets it to learn of the lines of every test, whatever
// the test does with standard error). Never fails toward the caller.
void WarnCountingOff(const std::string& reason);

}  // namespace ostrivel::probe

#endif  // OSTRIVEL_TOOLS_PROBE_WARNINGS_H_
