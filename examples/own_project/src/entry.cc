#include "ledger/entry.h"

namespace ledger {

namespace {

// Reads exactly "width" digits of "text" from "pos".
std::optional<int> ReadNumber(std::string_view text, std::size_t pos,
                              std::size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

std::optional<Date> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return std::nullopt;
  }
  std::optional<int> year = ReadNumber(text, 0, 4);
  std::optional<int> month = ReadNumber(text, 5, 2);
  std::optional<int> day = ReadNumber(text, 8, 2);
  if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 ||
      *day > DaysInMonth(*year, *month)) {
    return std::nullopt;
  }
  return Date{*year, *month, *day};
}

std::optional<Entry> ParseEntry(std::string_view line) {
  std::size_t first = line.find(';');
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = line.find(';', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::optional<Date> date = ParseDate(line.substr(0, first));
  std::string_view category = line.substr(first + 1, second - first - 1);
  std::optional<Amount> amount = ParseAmount(line.substr(second + 1));
  if (!date || category.empty() || !amount) return std::nullopt;
  return Entry{*date, std::string(category), *amount};
}

}  // namespace ledger
