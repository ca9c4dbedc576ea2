// A small program whose lines the impact tests change; the comments that
// end in a marker name the lines they change.
#ifndef OSTRIVEL_TOOLS_REPORT_TESTDATA_IMPACT_SHOP_H_
#define OSTRIVEL_TOOLS_REPORT_TESTDATA_IMPACT_SHOP_H_

inline int Twice(int amount) {
  // Doubles the amount.  marker:twice-comment
  return 2 * amount;  // marker:twice-body
}

int Price(int amount);
int Discount(int amount);
int Unused(int amount);

#endif  // OSTRIVEL_TOOLS_REPORT_TESTDATA_IMPACT_SHOP_H_
