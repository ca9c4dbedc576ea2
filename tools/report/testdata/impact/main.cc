#include <cstdlib>

#include "tools/report/testdata/impact/shop.h"

int main(int argc, char** argv) {
  // Through a pointer, so that Twice() also gets a copy of its own.
  int (*volatile twice)(int) = &Twice;
  int amount = argc > 1 ? std::atoi(argv[1]) : 3;
  return (Price(amount) + Discount(amount) + twice(amount) + Unused(amount)) &
         1;
}
