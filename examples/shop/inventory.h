#ifndef OSTRIVEL_EXAMPLES_SHOP_INVENTORY_H_
#define OSTRIVEL_EXAMPLES_SHOP_INVENTORY_H_

#include <string>
#include <string_view>
#include <vector>

// The stock on the shelves; fixed numbers for the sample.

namespace shop {

// Units in stock; 0 for an unknown code.
int Stock(std::string_view code);

// True iff "quantity" units of "code" can be sold.
bool InStock(std::string_view code, int quantity);

// The codes with fewer than "threshold" units, in catalog order.
std::vector<std::string> LowStock(int threshold);

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_INVENTORY_H_
