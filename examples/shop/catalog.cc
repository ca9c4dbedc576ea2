#include "examples/shop/catalog.h"

#include <algorithm>

namespace shop {

const std::vector<Item>& Catalog() {
  static const std::vector<Item> items = {
      {"APL", "Apple", "fruit", 40, 150},
      {"BAN", "Banana", "fruit", 30, 120},
      {"BRD", "Bread", "bakery", 250, 500},
      {"CRS", "Croissant", "bakery", 120, 60},
      {"MLK", "Milk", "dairy", 110, 1000},
      {"CHS", "Cheese", "dairy", 480, 250},
  };
  return items;
}

const Item* FindItem(std::string_view code) {
  for (const Item& item : Catalog()) {
    if (item.code == code) return &item;
  }
  return nullptr;
}

std::vector<const Item*> ItemsInCategory(std::string_view category) {
  std::vector<const Item*> found;
  for (const Item& item : Catalog()) {
    if (item.category == category) found.push_back(&item);
  }
  return found;
}

std::vector<std::string> Categories() {
  std::vector<std::string> categories;
  for (const Item& item : Catalog()) {
    if (std::find(categories.begin(), categories.end(), item.category) ==
        categories.end()) {
      categories.push_back(item.category);
    }
  }
  return categories;
}

bool IsKnownCategory(std::string_view category) {
  return !ItemsInCategory(category).empty();
}

}  // namespace shop
