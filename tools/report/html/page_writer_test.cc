#include "tools/report/html/page_writer.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace ostrivel::report {
namespace {

struct Case {
  const char* name;
  std::string text;
  std::string html;
  std::string json;  // without the quotes
};

void PrintTo(const Case& value, std::ostream* out) { *out << value.name; }

class EscapeTest : public ::testing::TestWithParam<Case> {};

TEST_P(EscapeTest, AsHtmlText) {
  std::string out;
  AppendHtmlText(GetParam().text, &out);
  EXPECT_EQ(out, GetParam().html);
}

TEST_P(EscapeTest, AsJsonString) {
  std::string out;
  AppendJsonString(GetParam().text, &out);
  EXPECT_EQ(out, "\"" + GetParam().json + "\"");
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeTest,
    ::testing::Values(
        Case{"Markup", "<b a='1'>&\"</b>",
             "&lt;b a=&#39;1&#39;&gt;&amp;&quot;&lt;/b&gt;",
             "<b a='1'>&\\\"<\\/b>"},
        Case{"ScriptEnd", "x</script>", "x&lt;/script&gt;", "x<\\/script>"},
        Case{"CommentOpener", "<!--<script>", "&lt;!--&lt;script&gt;",
             "\\u003c!--<script>"},
        Case{"Controls", std::string("a\tb\nc\\d\x01\x1f"),
             std::string("a\tb\nc\\d\x01\x1f"), "a\\tb\\nc\\\\d\\u0001\\u001f"},
        Case{"Nul", std::string("a\0b", 3), "a" + kFffd + "b", "a\\u0000b"},
        Case{"WellFormedKept",
             "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x82\xAC \xF0\x9D\x84\x9E",
             "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x82\xAC \xF0\x9D\x84\x9E",
             "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x82\xAC \xF0\x9D\x84\x9E"},
        Case{"LineSeparators",
             "a\xE2\x80\xA8"
             "b\xE2\x80\xA9",
             "a\xE2\x80\xA8"
             "b\xE2\x80\xA9",
             "a\\u2028b\\u2029"},
        Case{"StrayByte", "a\xFFz", "a" + kFffd + "z", "a" + kFffd + "z"},
        Case{"Overlong", "\xC0\xAF", kFffd + kFffd, kFffd + kFffd},
        Case{"Surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd,
             kFffd + kFffd + kFffd},
        Case{"AboveUnicode", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd,
             kFffd + kFffd + kFffd + kFffd},
        Case{"CutAtTheEnd", "x\xE2\x82", "x" + kFffd + kFffd,
             "x" + kFffd + kFffd},
        Case{"CutByAscii", "\xE2\x82<", kFffd + kFffd + "&lt;",
             kFffd + kFffd + "<"}),
    [](const ::testing::TestParamInfo<Case>& param) {
      return param.param.name;
    });

}  // namespace
}  // namespace ostrivel::report
