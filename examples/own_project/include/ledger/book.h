#ifndef LEDGER_BOOK_H_
#define LEDGER_BOOK_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/amount.h"
#include "ledger/entry.h"

namespace ledger {

// The entries of one account, in the order they were added.
class Book {
 public:
  void Add(const Entry& entry);
  // Adds every line of "text" that parses; returns the number of lines that
  // did not.
  int AddLines(std::string_view text);

  Amount Balance() const;
  Amount BalanceOf(std::string_view category) const;
  std::vector<std::string> Categories() const;
  std::optional<Entry> LargestExpense() const;
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<Entry> entries_;
};

}  // namespace ledger

#endif  // LEDGER_BOOK_H_
