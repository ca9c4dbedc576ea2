#ifndef LEDGER_REPORT_H_
#define LEDGER_REPORT_H_

#include <string>
#include <string_view>

#include "ledger/book.h"

namespace ledger {

// One line per category, "category: 12.50 €", sorted by name, and a total.
std::string FormatReport(const Book& book, std::string_view currency);

// Reports made so far by this process; the counter lives in an object with
// static storage, built before main and destroyed after it.
int ReportsMade();

}  // namespace ledger

#endif  // LEDGER_REPORT_H_
