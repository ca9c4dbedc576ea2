#include "tools/report/testdata/impact/shop.h"

// marker:comment-outside
int Price(int amount) {
  // Twice() is inlined here.
  return Twice(amount) + 1;  // marker:price-body
}
// marker:between-functions

int Discount(int amount) {
  int tenth = amount / 10;  // marker:discount-first
  return amount - tenth;    // marker:discount-body
}

int Unused(int amount) {
  return amount - 1;  // marker:unused-body
}
