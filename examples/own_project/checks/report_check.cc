// The report's checks: the text of a small book's report.
#include "check.h"
#include "ledger/report.h"

int main() {
  ledger::Book book;
  book.AddLines("2024-05-01;books;-30\n2024-05-02;gift;50.5\n");
  EXPECT(ledger::FormatReport(book, "EUR") ==
         "books: -30.00 €\ngift: 50.50 €\ntotal: 20.50 €\n");
  EXPECT(ledger::FormatReport(book, "XYZ").find("total: 20.50 XYZ") !=
         std::string::npos);
  EXPECT(ledger::ReportsMade() == 2);
  return checks::failures == 0 ? 0 : 1;
}
