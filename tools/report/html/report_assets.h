#ifndef OSTRIVEL_TOOLS_REPORT_HTML_REPORT_ASSETS_H_
#define OSTRIVEL_TOOLS_REPORT_HTML_REPORT_ASSETS_H_

#include <string_view>

namespace ostrivel::report {

// The page's style sheet and script, embedded from assets/ at build time.
extern const std::string_view kReportCss;
extern const std::string_view kReportJs;

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_HTML_REPORT_ASSETS_H_
