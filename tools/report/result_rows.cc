#include "tools/report/result_rows.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace ostrivel::report {

namespace {

constexpr std::size_t kShortRow = 240;
constexpr std::size_t kRowStart = 200;

}  // namespace

bool ParsePositions(std::string_view text,
                    std::vector<std::uint32_t>* positions) {
  positions->clear();
  const char* next = text.data();
  const char* end = text.data() + text.size();
  while (next != end) {
    if (!positions->empty()) {
      if (*next != ' ') return false;
      ++next;
    }
    // from_chars takes no sign and no blank for an unsigned value.
    std::uint32_t value = 0;
    auto [after, error] = std::from_chars(next, end, value);
    if (error != std::errc() ||
        (!positions->empty() && value <= positions->back())) {
      return false;
    }
    positions->push_back(value);
    next = after;
  }
  return true;
}

bool IsSplitOfAllPositions(const std::vector<std::uint32_t>& covered,
                           const std::vector<std::uint32_t>& notCovered) {
  // Both ascend, so a merge walk visits 0, 1, 2... exactly when they split
  // the range between them.
  std::size_t c = 0;
  std::size_t n = 0;
  std::uint64_t expected = 0;
  while (c < covered.size() || n < notCovered.size()) {
    if (c < covered.size() && covered[c] == expected) {
      ++c;
    } else if (n < notCovered.size() && notCovered[n] == expected) {
      ++n;
    } else {
      return false;
    }
    ++expected;
  }
  return true;
}

AllPositions::AllPositions(std::uint32_t count) : count_(count) {
  starts_.reserve(std::size_t{count} + 1);
  char digits[16];
  for (std::uint32_t position = 0; position < count; ++position) {
    if (position != 0) text_.push_back(' ');
    starts_.push_back(text_.size());
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, position);
    text_.append(digits, end);
  }
  starts_.push_back(text_.size() + 1);
}

bool AllPositions::AreTheRest(const std::vector<std::uint32_t>& covered,
                              std::string_view notCovered) const {
  std::size_t at = 0;
  bool first = true;
  // Compares the run of positions [from, to) with the field at "at".
  auto matchRun = [&](std::uint32_t from, std::uint32_t to) {
    if (from >= to) return true;
    if (!first) {
      if (at >= notCovered.size() || notCovered[at] != ' ') return false;
      ++at;
    }
    first = false;
    std::size_t length = starts_[to] - 1 - starts_[from];
    if (notCovered.compare(
            at, length,
            std::string_view(text_).substr(starts_[from], length)) != 0) {
      return false;
    }
    at += length;
    return true;
  };
  std::uint32_t next = 0;
  for (std::uint32_t position : covered) {
    if (position >= count_ || !matchRun(next, position)) return false;
    next = position + 1;
  }
  return matchRun(next, count_) && at == notCovered.size();
}

std::optional<double> ParseNumber(std::string_view text) {
  if (text == "nan" || text == "-nan") return std::nan("");
  double value = 0;
  const char* end = text.data() + text.size();
  auto [after, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || after != end || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::string ShortenRow(std::string_view row) {
  if (row.size() <= kShortRow) return std::string(row);
  return fmt::format("{}... ({} more bytes)", row.substr(0, kRowStart),
                     row.size() - kRowStart);
}

}  // namespace ostrivel::report
