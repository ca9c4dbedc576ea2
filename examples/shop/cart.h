#ifndef OSTRIVEL_EXAMPLES_SHOP_CART_H_
#define OSTRIVEL_EXAMPLES_SHOP_CART_H_

#include <string_view>
#include <vector>

#include "examples/shop/catalog.h"

namespace shop {

struct CartLine {
  const Item* item = nullptr;
  int quantity = 0;
};

// A shopping cart: one line per item, in the order items were first added.
class Cart {
 public:
  // Adds "quantity" (> 0) units of "item", which must outlive the cart.
  void Add(const Item& item, int quantity);
  // Removes the line of "code". Returns false when there is none.
  bool Remove(std::string_view code);
  int Quantity(std::string_view code) const;
  // Units over all lines.
  int ItemCount() const;
  // Grams over all lines.
  int WeightGrams() const;
  bool Empty() const { return lines_.empty(); }
  const std::vector<CartLine>& lines() const { return lines_; }

 private:
  std::vector<CartLine> lines_;
};

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_CART_H_
