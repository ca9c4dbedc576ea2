#include "tools/methods/pattern.h"

#include <regex.h>

namespace ostrivel::methods {

struct Pattern::Compiled {
  regex_t expression{};
  bool compiled = false;  // regfree() is only for what regcomp() compiled
  ~Compiled() {
    if (compiled) ::regfree(&expression);
  }
};

std::optional<Pattern> Pattern::Compile(const std::string& text,
                                        std::string* error) {
  auto compiled = std::make_unique<Compiled>();
  int code =
      ::regcomp(&compiled->expression, text.c_str(), REG_EXTENDED | REG_NOSUB);
  if (code != 0) {
    char message[256];
    ::regerror(code, &compiled->expression, message, sizeof message);
    *error = message;
    return std::nullopt;
  }
  compiled->compiled = true;
  return Pattern(std::move(compiled));
}

Pattern::Pattern(std::unique_ptr<Compiled> compiled)
    : compiled_(std::move(compiled)) {}

Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;
Pattern::~Pattern() = default;

bool Pattern::Matches(const std::string& text) const {
  return ::regexec(&compiled_->expression, text.c_str(), 0, nullptr, 0) == 0;
}

}  // namespace ostrivel::methods
