#include "examples/shop/pricing.h"

namespace shop {

namespace {

constexpr int kBulkQuantity = 10;
constexpr int kBulkPercent = 10;
constexpr int kFreeShippingFrom = 5000;
constexpr int kShippingPerParcel = 490;
constexpr int kParcelGrams = 2000;

}  // namespace

int PercentOf(int amount, int percent) { return (amount * percent + 50) / 100; }

int LineTotal(const Item& item, int quantity) {
  int total = item.priceCents * quantity;
  return total - BulkDiscount(quantity, total);
}

int BulkDiscount(int quantity, int lineTotal) {
  return quantity >= kBulkQuantity ? PercentOf(lineTotal, kBulkPercent) : 0;
}

bool IsValidCoupon(std::string_view coupon) {
  return coupon == "SAVE5" || coupon == "HALFBREAD";
}

int CouponDiscount(std::string_view coupon, int subtotal) {
  if (coupon == "SAVE5") return subtotal >= 2000 ? 500 : 0;
  return 0;
}

int TaxRatePercent(std::string_view region) {
  if (region == "EU") return 20;
  if (region == "US") return 7;
  return 0;
}

int Tax(int amount, std::string_view region) {
  return PercentOf(amount, TaxRatePercent(region));
}

int ShippingCost(int subtotal, int weightGrams) {
  if (subtotal >= kFreeShippingFrom || weightGrams <= 0) return 0;
  int parcels = (weightGrams + kParcelGrams - 1) / kParcelGrams;
  return parcels * kShippingPerParcel;
}

}  // namespace shop
