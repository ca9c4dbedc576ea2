#ifndef OSTRIVEL_EXAMPLES_SHOP_PRICING_H_
#define OSTRIVEL_EXAMPLES_SHOP_PRICING_H_

#include <string_view>

#include "examples/shop/catalog.h"

// Prices, discounts, tax and shipping. All amounts in cents, rounded half
// up to whole cents.

namespace shop {

// "percent" % of "amount".
int PercentOf(int amount, int percent);

// Price times quantity, less the bulk discount.
int LineTotal(const Item& item, int quantity);

// 10% off a line of 10 units or more.
int BulkDiscount(int quantity, int lineTotal);

// "SAVE5" (5.00 off from 20.00) and "HALFBREAD" (50% off bakery, see
// checkout) are the known coupons.
bool IsValidCoupon(std::string_view coupon);

// The discount "coupon" gives on "subtotal"; 0 for an unknown coupon or a
// subtotal below the coupon's minimum.
int CouponDiscount(std::string_view coupon, int subtotal);

// Tax rate in percent: "EU" 20, "US" 7, anything else 0.
int TaxRatePercent(std::string_view region);

int Tax(int amount, std::string_view region);

// 4.90 per started 2 kg; free from 50.00.
int ShippingCost(int subtotal, int weightGrams);

}  // namespace shop

#endif  // OSTRIVEL_EXAMPLES_SHOP_PRICING_H_
