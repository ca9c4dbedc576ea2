#ifndef LEDGER_ENTRY_H_
#define LEDGER_ENTRY_H_

#include <optional>
#include <string>
#include <string_view>

#include "ledger/amount.h"

namespace ledger {

struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
};

// One booking: "2024-01-31;groceries;-12.50".
struct Entry {
  Date date;
  std::string category;
  Amount amount;
};

// Parses "YYYY-MM-DD"; nothing for an impossible date.
std::optional<Date> ParseDate(std::string_view text);

// Parses one line "date;category;amount"; nothing when a field is missing
// or malformed.
std::optional<Entry> ParseEntry(std::string_view line);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

}  // namespace ledger

#endif  // LEDGER_ENTRY_H_
