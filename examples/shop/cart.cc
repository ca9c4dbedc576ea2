#include "examples/shop/cart.h"

#include <algorithm>

namespace shop {

void Cart::Add(const Item& item, int quantity) {
  for (CartLine& line : lines_) {
    if (line.item == &item) {
      line.quantity += quantity;
      return;
    }
  }
  lines_.push_back({&item, quantity});
}

bool Cart::Remove(std::string_view code) {
  auto line =
      std::find_if(lines_.begin(), lines_.end(),
                   [&](const CartLine& l) { return l.item->code == code; });
  if (line == lines_.end()) return false;
  lines_.erase(line);
  return true;
}

int Cart::Quantity(std::string_view code) const {
  for (const CartLine& line : lines_) {
    if (line.item->code == code) return line.quantity;
  }
  return 0;
}

int Cart::ItemCount() const {
  int count = 0;
  for (const CartLine& line : lines_) count += line.quantity;
  return count;
}

int Cart::WeightGrams() const {
  int grams = 0;
  for (const CartLine& line : lines_) {
    grams += line.item->weightGrams * line.quantity;
  }
  return grams;
}

}  // namespace shop
