#include "ledger/report.h"

#include "ledger/currency.h"

namespace ledger {

namespace {

// Counts the reports of the process. Its constructor runs before main and
// its destructor after main returns, outside any test.
class ReportTally {
 public:
  ReportTally();
  ~ReportTally();
  void Count() { ++made_; }
  int made() const { return made_; }

 private:
  int made_;
};

ReportTally::ReportTally() : made_(0) {}

ReportTally::~ReportTally() { made_ = -1; }

ReportTally tally;

std::string Line(std::string_view label, Amount amount,
                 const std::string& symbol) {
  return std::string(label) + ": " + FormatAmount(amount) + " " + symbol + "\n";
}

}  // namespace

std::string FormatReport(const Book& book, std::string_view currency) {
  std::string symbol = Currencies().Symbol(currency);
  std::string text;
  for (const std::string& category : book.Categories()) {
    text += Line(category, book.BalanceOf(category), symbol);
  }
  text += Line("total", book.Balance(), symbol);
  tally.Count();
  return text;
}

int ReportsMade() { return tally.made(); }

}  // namespace ledger
