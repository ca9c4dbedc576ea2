#include "examples/shop/checkout.h"

#include "examples/shop/inventory.h"
#include "examples/shop/pricing.h"

namespace shop {

namespace {

// The "HALFBREAD" coupon halves the bakery lines.
int BakeryDiscount(const Cart& cart) {
  int bakery = 0;
  for (const CartLine& line : cart.lines()) {
    if (line.item->category == "bakery") {
      bakery += LineTotal(*line.item, line.quantity);
    }
  }
  return PercentOf(bakery, 50);
}

}  // namespace

Totals ComputeTotals(const Cart& cart, std::string_view coupon,
                     std::string_view region) {
  Totals totals;
  for (const CartLine& line : cart.lines()) {
    totals.subtotal += LineTotal(*line.item, line.quantity);
  }
  totals.discount = coupon == "HALFBREAD"
                        ? BakeryDiscount(cart)
                        : CouponDiscount(coupon, totals.subtotal);
  int taxable = totals.subtotal - totals.discount;
  totals.tax = Tax(taxable, region);
  totals.shipping = ShippingCost(totals.subtotal, cart.WeightGrams());
  totals.total = taxable + totals.tax + totals.shipping;
  return totals;
}

std::string CheckCart(const Cart& cart, std::string_view coupon) {
  if (cart.Empty()) return "the cart is empty";
  for (const CartLine& line : cart.lines()) {
    if (!InStock(line.item->code, line.quantity)) {
      return "not enough " + line.item->name + " in stock";
    }
  }
  if (!coupon.empty() && !IsValidCoupon(coupon)) {
    return "unknown coupon " + std::string(coupon);
  }
  return "";
}

}  // namespace shop
