#include "ledger/amount.h"

#include <cstdlib>

namespace ledger {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<Amount> ParseAmount(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::int64_t whole = 0;
  std::size_t i = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    whole = whole * 10 + (text[i] - '0');
  }
  if (i == 0) return std::nullopt;
  int fraction = 0;
  if (i < text.size() && text[i] == '.') {
    std::size_t digits = 0;
    for (++i; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
      if (digits == 2) return std::nullopt;
      fraction = fraction * 10 + (text[i] - '0');
    }
    if (digits == 0) return std::nullopt;
    if (digits == 1) fraction *= 10;
  }
  if (i != text.size()) return std::nullopt;
  std::int64_t cents = whole * 100 + fraction;
  return Amount{negative ? -cents : cents};
}

std::string FormatAmount(Amount amount) {
  std::int64_t magnitude = std::llabs(amount.cents);
  std::string cents = std::to_string(magnitude % 100);
  if (cents.size() == 1) cents.insert(0, "0");
  return (amount.cents < 0 ? "-" : "") + std::to_string(magnitude / 100) + "." +
         cents;
}

Amount Add(Amount a, Amount b) { return Amount{a.cents + b.cents}; }

Amount Negate(Amount a) { return Amount{-a.cents}; }

}  // namespace ledger
