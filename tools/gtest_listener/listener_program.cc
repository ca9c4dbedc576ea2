// A small GoogleTest program that installs the coverage listener from the
// environment (OSTRIVEL_CONFIG, OSTRIVEL_LIBRARY); listener_test runs it.

#include <gtest/gtest.h>

#include "ostrivel/gtest_listener.h"

namespace {

int Add(int a, int b) { return a + b; }

TEST(Arithmetic, Adds) { EXPECT_EQ(Add(2, 3), 5); }

TEST(Arithmetic, Subtracts) { EXPECT_EQ(Add(2, -3), -1); }

class SquareTest : public ::testing::TestWithParam<int> {};

TEST_P(SquareTest, IsNotNegative) { EXPECT_GE(GetParam() * GetParam(), 0); }

INSTANTIATE_TEST_SUITE_P(Small, SquareTest, ::testing::Values(-2));

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ostrivel::InstallCoverageListener();
  return RUN_ALL_TESTS();
}
