#ifndef OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_
#define OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_

#include <string>
#include <string_view>

namespace ostrivel::tools {

// "text" made safe to put into one line of a log, a message on standard
// error or a summary: a line feed becomes "\n", a carriage return "\r", and
// every other byte below 0x20 and 0x7f becomes "\xHH" (two upper-case hex
// digits). All other bytes, the backslash and bytes of 0x80 and above among
// them, stay as they are, so that text which needs no escape comes back
// unchanged and escaping twice changes nothing more.
std::string Printable(std::string_view text);

}  // namespace ostrivel::tools

#endif  // OSTRIVEL_TOOLS_PRINTABLE_PRINTABLE_H_
