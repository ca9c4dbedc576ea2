#include "ledger/currency.h"

namespace ledger {

CurrencyTable::CurrencyTable()
    : symbols_{{"CHF", "Fr."},
               {"EUR", "€"},
               {"GBP", "£"},
               {"JPY", "¥"},
               {"USD", "$"}} {}

std::string CurrencyTable::Symbol(std::string_view code) const {
  auto it = symbols_.find(code);
  return it == symbols_.end() ? std::string(code) : it->second;
}

bool CurrencyTable::Knows(std::string_view code) const {
  return symbols_.find(code) != symbols_.end();
}

const CurrencyTable& Currencies() {
  static const CurrencyTable table;
  return table;
}

}  // namespace ledger
