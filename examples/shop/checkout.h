#ifndef OSTRIVEL_EXAMPLES_SHOP_CHECKOUT_H_
#define OSTRIVEL_EXAMPLES_SHOP_CHECKOUT_H_

#include <string>
#include <string_view>

#include "examples/shop/cart.h"

namespace shop {

struct Totals {
  int subtotal = 0;  // sum of the line totals
  int discount = 0;  // from the coupon
  int tax = 0;
  int shipping = 0;
  int total = 0;
};

// The totals of "cart" with "coupon" (may be empty) in "region".
Totals ComputeTotals(const Cart& cart, std::string_view coupon,
                     std::string_view region);

// Why "cart" cannot be sold: empty, an item out of stock, an unknown coupon.
// Empty when it can.
std::string CheckCart(const Cart& cart, std::string_view coupon);

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_CHECKOUT_H_
