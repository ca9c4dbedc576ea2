#ifndef LEDGER_CURRENCY_H_
#define LEDGER_CURRENCY_H_

#include <map>
#include <string>
#include <string_view>

namespace ledger {

// The known currencies by ISO code, built once, on first use.
class CurrencyTable {
 public:
  CurrencyTable();
  // The symbol of "code" ("EUR" gives "€"), or the code itself.
  std::string Symbol(std::string_view code) const;
  bool Knows(std::string_view code) const;

 private:
  std::map<std::string, std::string, std::less<>> symbols_;
};

// The one table of the process (a function-local static).
const CurrencyTable& Currencies();

}  // namespace ledger

#endif  // LEDGER_CURRENCY_H_
