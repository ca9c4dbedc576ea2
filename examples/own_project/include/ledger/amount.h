#ifndef LEDGER_AMOUNT_H_
#define LEDGER_AMOUNT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ledger {

// A sum of money in cents of one currency.
struct Amount {
  std::int64_t cents = 0;
};

// Parses "12", "-3.5" or "1234.56"; nothing for anything else (more than two
// decimals, no digits, a stray character).
std::optional<Amount> ParseAmount(std::string_view text);

// "-1234.50" for -123450 cents.
std::string FormatAmount(Amount amount);

Amount Add(Amount a, Amount b);
Amount Negate(Amount a);

}  // namespace ledger

#endif  // LEDGER_AMOUNT_H_
