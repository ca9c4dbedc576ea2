#ifndef OSTRIVEL_COVERAGE_TRACE_FILE_H_
#define OSTRIVEL_COVERAGE_TRACE_FILE_H_

#include <string>

#include "coverage/message_content.h"
#include "coverage/method_list.h"

namespace ostrivel::coverage {

// Writes the trace file of "application" at "traceLocation", created or
// emptied: the header line, then "<method line>;<count>" for every position
// whose count is not 0, in method-list order, each line ending in CR LF.
//
// The counts are paired by position with the application's list in
// "methodLists". When it has no list, or the list's length differs from the
// number of counts, the failure is logged at level 2 and no file is created
// or changed. A file that cannot be created (also a FIFO, a socket or a
// directory) is reported as "Unable to open trace-file!" on standard error
// and "Unable to open trace-file! (Path: "<path>")" at level 2; a failed
// write or close as "Unable to write trace-file!" in the same two forms.
void TracePath(const std::string& application,
               const CoverageVector& coverageVector,
               const std::string& traceLocation,
               const MethodLists& methodLists);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_TRACE_FILE_H_
