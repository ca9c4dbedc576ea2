// The sample shop's GoogleTest suite. Its main installs the coverage
// listener, so that every test gets its own coverage row when the suite runs
// with OSTRIVEL_CONFIG (and OSTRIVEL_LIBRARY) set; without them it runs as
// an ordinary test program after one warning line.

#include <gtest/gtest.h>

#include "examples/shop/cart.h"
#include "examples/shop/catalog.h"
#include "examples/shop/checkout.h"
#include "examples/shop/inventory.h"
#include "examples/shop/pricing.h"
#include "examples/shop/receipt.h"
#include "ostrivel/gtest_listener.h"

namespace shop {
namespace {

TEST(CatalogTest, FindsItemsByCode) {
  ASSERT_NE(FindItem("BRD"), nullptr);
  EXPECT_EQ(FindItem("BRD")->name, "Bread");
  EXPECT_EQ(FindItem("XYZ"), nullptr);
}

TEST(PricingTest, BulkDiscountFromTenUnits) {
  const Item& apple = *FindItem("APL");
  EXPECT_EQ(LineTotal(apple, 9), 360);
  EXPECT_EQ(LineTotal(apple, 10), 360);
}

TEST(CheckoutTest, CouponTaxAndShipping) {
  Cart cart;
  cart.Add(*FindItem("BRD"), 8);
  cart.Add(*FindItem("APL"), 10);
  EXPECT_EQ(CheckCart(cart, "SAVE5"), "");
  Totals totals = ComputeTotals(cart, "SAVE5", "EU");
  EXPECT_EQ(totals.subtotal, 2360);
  EXPECT_EQ(totals.discount, 500);
  EXPECT_EQ(totals.tax, 372);
  EXPECT_EQ(totals.shipping, 1470);
  EXPECT_EQ(FormatReceipt(cart, totals),
            "8 x Bread  20.00\n"
            "10 x Apple  3.60\n"
            "Subtotal  23.60\n"
            "Discount  -5.00\n"
            "Tax  3.72\n"
            "Shipping  14.70\n"
            "Total  37.02\n");
}

TEST(CheckoutTest, RefusesWhatIsNotInStock) {
  Cart cart;
  cart.Add(*FindItem("CRS"), 5);
  EXPECT_EQ(CheckCart(cart, ""), "not enough Croissant in stock");
}

TEST(ReceiptTest, FormatsCents) {
  EXPECT_EQ(FormatCents(1234), "12.34");
  EXPECT_EQ(FormatCents(5), "0.05");
  EXPECT_EQ(FormatCents(-5), "-0.05");
}

}  // namespace
}  // namespace shop

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ostrivel::InstallCoverageListener();
  return RUN_ALL_TESTS();
}
