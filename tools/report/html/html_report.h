#ifndef OSTRIVEL_TOOLS_REPORT_HTML_HTML_REPORT_H_
#define OSTRIVEL_TOOLS_REPORT_HTML_HTML_REPORT_H_

#include <string>

#include "tools/report/report_model.h"

namespace ostrivel::report {

// Writes the page of "report" to "path" (created or replaced). Returns false
// with a message in "*error" when the file cannot be written.
//
// The page is one self-contained HTML file (style sheet, script and data
// inline, nothing fetched) that opens from disk. The method lines are in it
// once, as JSON that the script renders; it is written streaming, so its
// size does not bound memory.
bool WriteHtmlReport(const Report& report, const std::string& path,
                     std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_HTML_HTML_REPORT_H_
