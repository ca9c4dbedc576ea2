// The amounts' checks: "amount_check parse", "amount_check format".
#include "check.h"
#include "ledger/amount.h"

int main(int argc, char** argv) {
  using ledger::Amount;
  if (checks::Selected(argc, argv, "parse")) {
    EXPECT(ledger::ParseAmount("12")->cents == 1200);
    EXPECT(ledger::ParseAmount("-3.5")->cents == -350);
    EXPECT(ledger::ParseAmount("1234.56")->cents == 123456);
    EXPECT(!ledger::ParseAmount("1.234"));
    EXPECT(!ledger::ParseAmount("abc"));
    EXPECT(!ledger::ParseAmount("5."));
  }
  if (checks::Selected(argc, argv, "format")) {
    EXPECT(ledger::FormatAmount(Amount{-123450}) == "-1234.50");
    EXPECT(ledger::FormatAmount(Amount{7}) == "0.07");
    EXPECT(ledger::FormatAmount(ledger::Negate(Amount{250})) == "-2.50");
  }
  return checks::failures == 0 ? 0 : 1;
}
