#include "tools/file_formats/method_list_file.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace ostrivel::tools {
namespace {

using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;

struct Case {
  const char* name;
  std::string bytes;
  std::string application;
  std::vector<std::string> lines;
};

void PrintTo(const Case& value, std::ostream* out) { *out << value.name; }

class MethodListFileTest : public ::testing::TestWithParam<Case> {};

TEST_P(MethodListFileTest, ReadsLikeTheLibrary) {
  TempDir dir;
  WriteFile(dir.File("list.csv"), GetParam().bytes);
  std::string error;
  auto file = ReadMethodListFile(dir.File("list.csv"), &error);
  ASSERT_TRUE(file.has_value()) << error;
  EXPECT_EQ(file->application, GetParam().application);
  EXPECT_EQ(file->lines, GetParam().lines);
}

const std::string kLine1023(1023, 'a');
const std::string kLine1024(1024, 'b');

INSTANTIATE_TEST_SUITE_P(
    Rules, MethodListFileTest,
    ::testing::Values(
        Case{"Plain",
             "ProjectName;Shop\nm0\nm1\nm2\n",
             "Shop",
             {"m0", "m1", "m2"}},
        Case{"CrLf",
             "ProjectName;Shop\r\nm0\r\n\r\nm2\r\n",
             "Shop",
             {"m0", "", "m2"}},
        Case{"BlankAndSecondSemicolonBelongToTheName",
             "\xEF\xBB\xBFProjectName; Sh;op\nm0\n",
             " Sh;op",
             {"m0"}},
        Case{"NoSemicolon", "xProjectName\nm0\n", "xProjectName", {"m0"}},
        Case{"LastLineWithoutLineFeedIsNoMethod",
             "ProjectName;A\nm0\nm1",
             "A",
             {"m0"}},
        Case{"HeaderOnly", "ProjectName;A", "A", {}},
        Case{"LongestLineIsKept",
             "ProjectName;A\n" + kLine1023 + "\nm1\n",
             "A",
             {kLine1023, "m1"}},
        Case{"OverlongLineEndsTheList",
             "ProjectName;A\nm0\n" + kLine1024 + "\nm2\n",
             "A",
             {"m0"}}),
    [](const ::testing::TestParamInfo<Case>& param) {
      return param.param.name;
    });

TEST(MethodListFileErrorsTest, MissingHeaderAndMissingFileAreRefused) {
  TempDir dir;
  WriteFile(dir.File("bad.csv"), "Project;A\nm0\n");
  std::string error;
  EXPECT_FALSE(ReadMethodListFile(dir.File("bad.csv"), &error).has_value());
  EXPECT_EQ(error,
            "\"" + dir.File("bad.csv") + "\" has no \"ProjectName\" header");
  EXPECT_FALSE(ReadMethodListFile(dir.File("none.csv"), &error).has_value());
  EXPECT_EQ(error, "\"" + dir.File("none.csv") + "\" can't be opened");
}

}  // namespace
}  // namespace ostrivel::tools
