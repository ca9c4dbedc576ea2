#include "examples/shop/inventory.h"

#include "examples/shop/catalog.h"

namespace shop {

int Stock(std::string_view code) {
  static const std::pair<const char*, int> kShelves[] = {
      {"APL", 120}, {"BAN", 80}, {"BRD", 12},
      {"CRS", 4},   {"MLK", 30}, {"CHS", 0},
  };
  for (const auto& [shelfCode, units] : kShelves) {
    if (code == shelfCode) return units;
  }
  return 0;
}

bool InStock(std::string_view code, int quantity) {
  return quantity > 0 && Stock(code) >= quantity;
}

std::vector<std::string> LowStock(int threshold) {
  std::vector<std::string> low;
  for (const Item& item : Catalog()) {
    if (Stock(item.code) < threshold) low.push_back(item.code);
  }
  return low;
}

}  // namespace shop
