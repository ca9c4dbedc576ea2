// The book's checks: balances over parsed lines.
#include "check.h"
#include "ledger/book.h"

int main() {
  ledger::Book book;
  int rejected = book.AddLines(
      "2024-01-31;groceries;-12.50\n"
      "2024-02-01;salary;2500\n"
      "2024-02-30;groceries;-1\n"
      "2024-02-29;rent;-900\n"
      "2024-03-02;groceries;-7.25\n");
  EXPECT(rejected == 1);
  EXPECT(book.size() == 4);
  EXPECT(book.Balance().cents == 158025);
  EXPECT(book.BalanceOf("groceries").cents == -1975);
  EXPECT(book.Categories().size() == 3);
  EXPECT(book.LargestExpense()->category == "rent");
  return checks::failures == 0 ? 0 : 1;
}
