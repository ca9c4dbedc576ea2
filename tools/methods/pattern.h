#ifndef OSTRIVEL_TOOLS_METHODS_PATTERN_H_
#define OSTRIVEL_TOOLS_METHODS_PATTERN_H_

#include <memory>
#include <optional>
#include <string>

namespace ostrivel::methods {

// A POSIX extended regular expression (regcomp with REG_EXTENDED), searched
// for anywhere in a text. The C library's matcher needs no stack in
// proportion to the text, so names of any length are safe; std::regex
// recursed once per character and overflowed the stack on a 40,000-byte
// demangled name.
class Pattern {
 public:
  // The compiled "text", or nothing with the matcher's own description of
  // the error in "*error".
  static std::optional<Pattern> Compile(const std::string& text,
                                        std::string* error);

  Pattern(Pattern&&) noexcept;
  Pattern& operator=(Pattern&&) noexcept;
  ~Pattern();

  // True iff the pattern matches a part of "text". A text that holds a NUL
  // byte is searched up to it.
  bool Matches(const std::string& text) const;

 private:
  struct Compiled;
  explicit Pattern(std::unique_ptr<Compiled> compiled);

  std::unique_ptr<Compiled> compiled_;
};

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_PATTERN_H_
