#include "coverage/decode.h"

#include <string>

#include <gtest/gtest.h>

namespace ostrivel::coverage {
namespace {

using Data = std::map<std::string, CoverageVector>;

MessageContent Decoded(std::string_view body) {
  std::optional<MessageContent> content = DecodeMessage(body);
  EXPECT_TRUE(content.has_value()) << body;
  return content.value_or(MessageContent{});
}

TEST(DecodeMessageTest, AnswerWithoutDataHasTimestampOnly) {
  MessageContent content =
      Decoded(R"({"timestamp":"2014.05.06 12:34:56.789"})");
  EXPECT_EQ(content.timestamp, "2014.05.06 12:34:56.789");
  EXPECT_FALSE(content.hasData);
  EXPECT_TRUE(content.data.empty());
}

TEST(DecodeMessageTest, DataIsOrderedByNameAndFirstMemberWins) {
  MessageContent content =
      Decoded(R"({"data":{"Zeta":[1],"Shop":[3,0,1,0],"Alpha":[],"Shop":[9]},)"
              R"("timestamp":"t"})");
  EXPECT_TRUE(content.hasData);
  EXPECT_EQ(content.data,
            (Data{{"Alpha", {}}, {"Shop", {3, 0, 1, 0}}, {"Zeta", {1}}}));
  EXPECT_EQ(content.data.begin()->first, "Alpha");
}

TEST(DecodeMessageTest, EmptyDataObjectStillCountsAsData) {
  MessageContent content = Decoded(R"({"timestamp":"t","data":{}})");
  EXPECT_TRUE(content.hasData);
  EXPECT_TRUE(content.data.empty());
}

TEST(DecodeMessageTest, OnlyTheFirstExactTopLevelNamesAreRead) {
  // Wrong case, nested look-alikes and later duplicates are ignored, whatever
  // their values.
  MessageContent content =
      Decoded(R"({"TIMESTAMP":1,"Data":[true],"x":{"timestamp":2,"data":[{}]},)"
              R"("timestamp":"first","data":{"A":[-1]},"timestamp":null,)"
              R"("data":"ignored","more":[1.5,"s",null,{"a":[]}],"deep":)" +
              std::string(30, '[') + std::string(30, ']') + "} \r\n");
  EXPECT_EQ(content.timestamp, "first");
  EXPECT_EQ(content.data, (Data{{"A", {-1}}}));
}

TEST(DecodeMessageTest, NamesAreUnescapedByteStrings) {
  MessageContent content = Decoded(
      "{\"timestamp\":\"t\\u00e4\",\"data\":{\"A\\\"pp\":[1],\"\xe4pp\":[2]}}");
  EXPECT_EQ(content.timestamp, "t\xc3\xa4");
  EXPECT_EQ(content.data, (Data{{"A\"pp", {1}}, {"\xe4pp", {2}}}));
}

TEST(DecodeMessageTest, IntegralValuesInAnyNotationAreCounts) {
  MessageContent content =
      Decoded(R"({"timestamp":"t","data":{"A":[3.0,-0.0,3e2,-2147483648,)"
              R"(2147483647,2147483647.0,0]}})");
  EXPECT_EQ(content.data["A"], (CoverageVector{3, 0, 300, -2147483647 - 1,
                                               2147483647, 2147483647, 0}));
}

class RefusedBodyTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusedBodyTest, IsRefusedWhole) {
  EXPECT_FALSE(DecodeMessage(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RefusedBodyTest,
    ::testing::Values(
        "", "{", "{\"timestamp\":\"t\"", "{\"timestamp\":\"t\"}{}",
        "{\"timestamp\":\"t\"} x", "[\"timestamp\"]", "{}",
        R"({"timestamp":5})", R"({"timestamp":null,"data":{}})",
        R"({"timestamp":"t","data":[]})", R"({"timestamp":"t","data":"A"})",
        R"({"timestamp":"t","data":null})",
        R"({"timestamp":"t","data":{"A":{}}})",
        R"({"timestamp":"t","data":{"A":7}})",
        R"({"timestamp":"t","data":{"A":[1.5]}})",
        R"({"timestamp":"t","data":{"A":["3"]}})",
        R"({"timestamp":"t","data":{"A":[true]}})",
        R"({"timestamp":"t","data":{"A":[null]}})",
        R"({"timestamp":"t","data":{"A":[3000000000]}})",
        R"({"timestamp":"t","data":{"A":[-2147483649]}})",
        R"({"timestamp":"t","data":{"A":[18446744073709551616]}})",
        R"({"timestamp":"t","data":{"A":[1e400]}})",
        R"({"timestamp":"t","data":{"A":[[1]]}})",
        R"({"timestamp":"t","data":{"A":[1],"A":[1,"x"]}})",
        R"({"timestamp":"t","data":{"A":[1,]}})",
        "{\"timestamp\":\"t\",\"deep\":"
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
        "]"
        "]]]}"));

}  // namespace
}  // namespace ostrivel::coverage
