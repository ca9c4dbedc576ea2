#ifndef OSTRIVEL_EXAMPLES_SHOP_RECEIPT_H_
#define OSTRIVEL_EXAMPLES_SHOP_RECEIPT_H_

#include <string>

#include "examples/shop/cart.h"
#include "examples/shop/checkout.h"

namespace shop {

// "1234" -> "12.34", "-5" -> "-0.05".
std::string FormatCents(int cents);

// "Apple (APL)  0.40" for the catalog listing.
std::string FormatItem(const Item& item);

// "3 x Apple  1.20".
std::string FormatLine(const CartLine& line);

// The receipt: one line per cart line, then the totals, each line ending in
// "\n".
std::string FormatReceipt(const Cart& cart, const Totals& totals);

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_RECEIPT_H_
