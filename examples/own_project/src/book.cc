#include "ledger/book.h"

#include <algorithm>
#include <set>

namespace ledger {

void Book::Add(const Entry& entry) { entries_.push_back(entry); }

int Book::AddLines(std::string_view text) {
  int rejected = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty()) {
      if (std::optional<Entry> entry = ParseEntry(line)) {
        Add(*entry);
      } else {
        ++rejected;
      }
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return rejected;
}

Amount Book::Balance() const {
  Amount total;
  for (const Entry& entry : entries_) total = ledger::Add(total, entry.amount);
  return total;
}

Amount Book::BalanceOf(std::string_view category) const {
  Amount total;
  for (const Entry& entry : entries_) {
    if (entry.category == category) total = ledger::Add(total, entry.amount);
  }
  return total;
}

std::vector<std::string> Book::Categories() const {
  std::set<std::string> names;
  for (const Entry& entry : entries_) names.insert(entry.category);
  return {names.begin(), names.end()};
}

std::optional<Entry> Book::LargestExpense() const {
  const Entry* largest = nullptr;
  for (const Entry& entry : entries_) {
    if (entry.amount.cents < 0 &&
        (largest == nullptr || entry.amount.cents < largest->amount.cents)) {
      largest = &entry;
    }
  }
  if (largest == nullptr) return std::nullopt;
  return *largest;
}

}  // namespace ledger
