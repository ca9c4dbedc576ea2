#ifndef OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_
#define OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_

#include <string>
#include <string_view>

namespace ostrivel::tools {

// "text" made safe to put into one line of a log, a message on standard
// error or a summary, with every byte that could break the line or command
// a terminal written as an escape: "\n", "\r" and "\t" for line feed,
// carriage return and tab, "\xHH" (upper-case hex) for the other control
// characters (C0, DEL, C1) and for bytes that are no valid UTF-8. Printable
// ASCII and UTF-8 stay as they are, the backslash among them, so that
// messages and paths that need no escape read as they are, and escaping
// twice changes nothing more.
std::string Printable(std::string_view text);

}  // namespace ostrivel::tools

#endif  // OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_
