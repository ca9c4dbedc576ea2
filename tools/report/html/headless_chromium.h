#ifndef OSTRIVEL_TOOLS_REPORT_HTML_HEADLESS_CHROMIUM_H_
#define OSTRIVEL_TOOLS_REPORT_HTML_HEADLESS_CHROMIUM_H_

#include <string>

namespace ostrivel::report::browser {

// The path of Chromium on PATH, or "" when it is not installed.
std::string FindChromium();

// Whether a missing Chromium fails the browser tests instead of skipping
// them (OSTRIVEL_REQUIRE_CHROMIUM=1, as scripts/test sets it).
bool ChromiumRequired();

// Runs headless "chromium" on "url" with "arguments" (already quoted for
// the shell), from "dir", which also holds its profile; its standard output
// goes to "output". Chromium talks on standard error whatever happens, so
// only its exit status counts; it is stopped after two minutes.
int RunHeadlessChromium(const std::string& chromium, const std::string& dir,
                        const std::string& arguments, const std::string& url,
                        const std::string& output);

}  // namespace ostrivel::report::browser

#endif  // OSTRIVEL_TOOLS_REPORT_HTML_HEADLESS_CHROMIUM_H_
