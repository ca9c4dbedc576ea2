#include "tools/printable/printable.h"

namespace ostrivel::tools {

std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      result += c;
    } else if (c == '\n') {
      result += "\\n";
    } else if (c == '\r') {
      result += "\\r";
    } else {
      result += "\\x";
      result += kHex[byte >> 4];
      result += kHex[byte & 0xf];
    }
  }
  return result;
}

}  // namespace ostrivel::tools
