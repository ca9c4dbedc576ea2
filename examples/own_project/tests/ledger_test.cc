#include <gtest/gtest.h>

#include "ledger/amount.h"
#include "ledger/book.h"
#include "ledger/currency.h"
#include "ledger/entry.h"
#include "ledger/report.h"

namespace {

TEST(AmountTest, ParsesWholeAndDecimal) {
  EXPECT_EQ(ledger::ParseAmount("12")->cents, 1200);
  EXPECT_EQ(ledger::ParseAmount("-0.05")->cents, -5);
  EXPECT_FALSE(ledger::ParseAmount("1.234"));
}

TEST(AmountTest, Formats) {
  EXPECT_EQ(ledger::FormatAmount(ledger::Amount{-123450}), "-1234.50");
  EXPECT_EQ(ledger::FormatAmount(ledger::Add({100}, {5})), "1.05");
}

TEST(EntryTest, ParsesLeapDays) {
  EXPECT_TRUE(ledger::ParseDate("2024-02-29"));
  EXPECT_FALSE(ledger::ParseDate("2023-02-29"));
  EXPECT_FALSE(ledger::ParseDate("1900-02-29"));
}

TEST(EntryTest, RejectsLinesWithoutCategory) {
  EXPECT_FALSE(ledger::ParseEntry("2024-01-01;;5"));
  EXPECT_EQ(ledger::ParseEntry("2024-01-01;fee;-5")->amount.cents, -500);
}

TEST(BookTest, BalancesPerCategory) {
  ledger::Book book;
  EXPECT_EQ(book.AddLines("2024-01-01;rent;-900\n2024-01-02;pay;2000\n"), 0);
  EXPECT_EQ(book.BalanceOf("rent").cents, -90000);
  EXPECT_EQ(book.LargestExpense()->category, "rent");
}

TEST(ReportTest, ListsCategoriesWithSymbol) {
  ledger::Book book;
  book.AddLines("2024-05-01;books;-30\n");
  EXPECT_EQ(ledger::FormatReport(book, "GBP"),
            "books: -30.00 £\ntotal: -30.00 £\n");
}

TEST(ReportTest, KeepsUnknownCurrencyCode) {
  ledger::Book book;
  EXPECT_EQ(ledger::FormatReport(book, "XYZ"), "total: 0.00 XYZ\n");
  EXPECT_TRUE(ledger::Currencies().Knows("CHF"));
}

}  // namespace
