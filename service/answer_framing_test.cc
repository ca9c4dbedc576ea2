#include "service/answer_framing.h"

#include <cstddef>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrivel::service {
namespace {

constexpr std::size_t kNpos = AnswerText::npos;

TEST(ComposeRequestTest, AskWithTheDefaultsByteForByte) {
  EXPECT_EQ(ComposeRequest("localhost", 8182, R"({"action":"ASK"})"),
            "POST http://localhost:8182 HTTP/1.1\r\n"
            "Host: localhost\r\n"
            "Content-Encoding: identity\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: 16\r\n"
            "\r\n"
            R"({"action":"ASK"})");
}

TEST(ComposeRequestTest, PortStaysInTheRequestLineOnly) {
  std::string request =
      ComposeRequest("collector", 80, R"({"action":"NEWTC"})");
  EXPECT_EQ(request.substr(0, request.find("\r\n\r\n") + 4),
            "POST http://collector:80 HTTP/1.1\r\n"
            "Host: collector\r\n"
            "Content-Encoding: identity\r\n"
            "Content-Type: application/json\r\n"
            "Content-Length: 18\r\n\r\n");
}

TEST(ComposeRequestTest, ConfiguredNumberIsWrittenUncut) {
  EXPECT_EQ(ComposeRequest("h", 73718, "").substr(0, 27),
            "POST http://h:73718 HTTP/1.");
  EXPECT_EQ(ComposeRequest("h", -1, "").substr(0, 24),
            "POST http://h:-1 HTTP/1.");
}

TEST(GrowingFindTest, FindsANeedleSplitAcrossPieces) {
  std::string text;
  GrowingFind find("Content-Length");
  for (const char* piece : {"HTTP/1.1 200 OK\r\nContent-Le", "n", "gth: 5"}) {
    EXPECT_EQ(find.In(text), kNpos);
    text += piece;
  }
  EXPECT_EQ(find.In(text), 17u);
  text += "Content-Length";  // the first occurrence stays
  EXPECT_EQ(find.In(text), 17u);
}

// The value of the Content-Length header after all of "pieces" arrived.
struct LengthCase {
  const char* label;
  std::vector<std::string> pieces;
  bool complete;
  std::size_t value;
};

void PrintTo(const LengthCase& lengthCase, std::ostream* out) {
  *out << lengthCase.label;
}

class ContentLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ContentLengthTest, ReadsTheValue) {
  AnswerText answer;
  for (const std::string& piece : GetParam().pieces) {
    answer.Append(piece);
    answer.ContentLengthRead();
  }
  EXPECT_EQ(answer.ContentLengthRead(), GetParam().complete);
  EXPECT_EQ(answer.ContentLength(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ContentLengthTest,
    ::testing::Values(
        LengthCase{
            "Plain", {"HTTP/1.1 200 OK\r\nContent-Length: 25\r\n"}, true, 25},
        LengthCase{"SeveralBlanks", {"Content-Length:     7\r\n"}, true, 7},
        LengthCase{"NoBlankAndNoLineEnd", {"Content-Length:7;"}, true, 7},
        // Only blanks may stand before the digits.
        LengthCase{"TabBeforeDigits", {"Content-Length:\t7\r\n"}, true, 0},
        LengthCase{"LetterBeforeDigits", {"Content-Length: x7\r\n"}, true, 0},
        // The name is compared case-sensitively.
        LengthCase{"NameInOtherCase", {"content-length: 7\r\n"}, false, 0},
        // The first occurrence anywhere counts.
        LengthCase{"FirstOccurrenceCounts",
                   {"X-Content-Length: 3\r\nContent-Length: 9\r\n"},
                   true,
                   3},
        // The next ":" behind the name, wherever it is.
        LengthCase{
            "ColonOfTheNextLine", {"Content-Length\r\nA: 4\r\n"}, true, 4},
        // Split anywhere, the value is the same.
        LengthCase{"NameSplit", {"Content-Le", "ngth: 1234\r\n"}, true, 1234},
        LengthCase{
            "ValueSplit", {"Content-Length", ": 12", "34", "\r\n"}, true, 1234},
        LengthCase{
            "BlanksSplit", {"Content-Length:", "   ", " 5\r\n"}, true, 5},
        // Not complete while the digits may go on.
        LengthCase{"DigitsMayGoOn", {"Content-Length: 12"}, false, 12},
        LengthCase{"BlanksMayGoOn", {"Content-Length:  "}, false, 0},
        LengthCase{"NoHeaderYet", {"HTTP/1.1 200 OK\r\n"}, false, 0},
        // Too large a value saturates instead of wrapping around.
        LengthCase{"TwoToThe64Plus5",
                   {"Content-Length: 18446744073709551621\r\n"},
                   true,
                   std::numeric_limits<std::size_t>::max()},
        LengthCase{"ThirtyDigits",
                   {"Content-Length: 99999999999999999999999999999\r\n"},
                   true,
                   std::numeric_limits<std::size_t>::max()}),
    [](const ::testing::TestParamInfo<LengthCase>& param) {
      return std::string(param.param.label);
    });

TEST(AnswerTextTest, BraceAndAngleAnywhereInTheText) {
  AnswerText answer;
  answer.Append("HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(answer.FindBrace(), kNpos);
  EXPECT_FALSE(answer.HasAngle());
  answer.Append("X: <{\r\n");
  EXPECT_EQ(answer.FindBrace(), 21u);
  EXPECT_TRUE(answer.HasAngle());
}

TEST(AnswerTextTest, WholeBodyCountsFromTheBlankLine) {
  AnswerText answer;
  answer.Append("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n");
  EXPECT_FALSE(answer.WholeBodyArrived(0));
  answer.Append("\r\nab");
  EXPECT_TRUE(answer.WholeBodyArrived(2));
  EXPECT_FALSE(answer.WholeBodyArrived(4));
  answer.Append("cd");
  EXPECT_TRUE(answer.WholeBodyArrived(4));
}

TEST(AnswerTextTest, WholeBodyWithLineFeedsOnly) {
  AnswerText answer;
  answer.Append("HTTP/1.1 200 OK\nContent-Length: 3\n");
  EXPECT_FALSE(answer.WholeBodyArrived(3));
  answer.Append("\nabc");
  EXPECT_TRUE(answer.WholeBodyArrived(3));
}

TEST(AnswerTextTest, BytesBehindAZeroCountTowardTheBodyOnly) {
  // A piece is taken up to its first zero byte; the bytes behind it have
  // arrived all the same.
  AnswerText body;
  body.Append("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n{a", 4);
  EXPECT_TRUE(body.WholeBodyArrived(6));
  EXPECT_EQ(body.text().size(), 40u);

  AnswerText header;
  header.Append("HTTP/1.1 200 OK\r\n", 30);
  header.Append("\r\nab");
  EXPECT_TRUE(header.WholeBodyArrived(2));
  EXPECT_FALSE(header.WholeBodyArrived(3));
}

}  // namespace
}  // namespace ostrivel::service
