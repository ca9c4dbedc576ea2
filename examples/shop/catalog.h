#ifndef OSTRIVEL_EXAMPLES_SHOP_CATALOG_H_
#define OSTRIVEL_EXAMPLES_SHOP_CATALOG_H_

#include <string>
#include <string_view>
#include <vector>

// The sample shop's fixed catalog. Prices are in cents.

namespace shop {

struct Item {
  std::string code;  // e.g. "APL"
  std::string name;
  std::string category;
  int priceCents = 0;
  int weightGrams = 0;
};

// Every item, in catalog order.
const std::vector<Item>& Catalog();

// The item with "code", or null.
const Item* FindItem(std::string_view code);

// The items of "category" in catalog order; empty for an unknown category.
std::vector<const Item*> ItemsInCategory(std::string_view category);

// The categories in order of their first item.
std::vector<std::string> Categories();

bool IsKnownCategory(std::string_view category);

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_CATALOG_H_
