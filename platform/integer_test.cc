#include "platform/integer.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace ostrivel::platform {
namespace {

struct IntegerCase {
  const char* text;
  std::int32_t expected;
};

class ToInt32Test : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ToInt32Test, ConvertsLikeAtoi) {
  EXPECT_EQ(ToInt32(GetParam().text), GetParam().expected)
      << "text: \"" << GetParam().text << "\"";
}

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Texts, ToInt32Test,
    ::testing::Values(
        IntegerCase{"8182", 8182}, IntegerCase{"007", 7},
        IntegerCase{"  42", 42}, IntegerCase{"\t\n\v\f\r 42", 42},
        IntegerCase{"+7", 7}, IntegerCase{"-7", -7}, IntegerCase{"12abc", 12},
        IntegerCase{"1 2", 1}, IntegerCase{"abc", 0}, IntegerCase{"", 0},
        IntegerCase{"-", 0}, IntegerCase{"+-1", 0}, IntegerCase{"- 1", 0},
        IntegerCase{"0x10", 0}, IntegerCase{"2147483647", kMax},
        IntegerCase{"2147483648", kMax}, IntegerCase{"-2147483648", kMin},
        IntegerCase{"-2147483649", kMin},
        IntegerCase{"99999999999999999999999999", kMax},
        IntegerCase{"-99999999999999999999999999", kMin}));

}  // namespace
}  // namespace ostrivel::platform
