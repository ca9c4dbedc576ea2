#include "examples/shop/receipt.h"

#include <cstdlib>

#include "examples/shop/pricing.h"

namespace shop {

std::string FormatCents(int cents) {
  std::string sign = cents < 0 ? "-" : "";
  int magnitude = std::abs(cents);
  std::string fraction = std::to_string(magnitude % 100);
  if (fraction.size() < 2) fraction.insert(0, "0");
  return sign + std::to_string(magnitude / 100) + "." + fraction;
}

std::string FormatItem(const Item& item) {
  return item.name + " (" + item.code + ")  " + FormatCents(item.priceCents);
}

std::string FormatLine(const CartLine& line) {
  return std::to_string(line.quantity) + " x " + line.item->name + "  " +
         FormatCents(LineTotal(*line.item, line.quantity));
}

std::string FormatReceipt(const Cart& cart, const Totals& totals) {
  std::string receipt;
  for (const CartLine& line : cart.lines()) receipt += FormatLine(line) + "\n";
  receipt += "Subtotal  " + FormatCents(totals.subtotal) + "\n";
  if (totals.discount != 0) {
    receipt += "Discount  " + FormatCents(-totals.discount) + "\n";
  }
  if (totals.tax != 0) receipt += "Tax  " + FormatCents(totals.tax) + "\n";
  if (totals.shipping != 0) {
    receipt += "Shipping  " + FormatCents(totals.shipping) + "\n";
  }
  receipt += "Total  " + FormatCents(totals.total) + "\n";
  return receipt;
}

}  // namespace shop
