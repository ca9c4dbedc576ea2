#include "tools/report/testdata/impact/shop.h"

// Inlined into Discount(), which comes after Price().
static int Tenth(int amount) {
  return amount / 10;  // marker:tenth-body
}

// marker:comment-outside
int Price(int amount) {
  // Twice() is inlined here.
  return Twice(amount) + 1;  // marker:price-body
}
// marker:between-functions

int Discount(int amount) {
  int tenth = Tenth(amount);  // marker:discount-first
  return amount - tenth;      // marker:discount-body
}

int Unused(int amount) {
  return amount - 1;  // marker:unused-body
}
