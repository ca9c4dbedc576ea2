#include "coverage/method_list.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::coverage {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class MethodListTest : public ::testing::Test {
 protected:
  // Writes "bytes" as the file "name" in the methods directory and loads it
  // into lists_. Returns the file's path.
  std::string Load(std::string_view bytes, const std::string& name = "a.csv") {
    std::string path = env_.methodsPath() + name;
    testing::WriteFile(path, bytes);
    OpenMethodList(path, lists_);
    return path;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : lists_) names.push_back(entry.first);
    return names;
  }

  testing::TestEnvironment env_{0};
  MethodLists lists_;
};

TEST_F(MethodListTest, HeaderNamesTheApplicationOfTheLinesBelow) {
  std::string path =
      Load("ProjectName;Shop\n0;Login;auth\n1;Logout;auth\n2;Pay;cart\n");
  EXPECT_THAT(
      lists_,
      ElementsAre(Pair(
          "Shop", ElementsAre("0;Login;auth", "1;Logout;auth", "2;Pay;cart"))));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Open method list. (name: " + path + ")"));
}

TEST_F(MethodListTest, LinesAreStoredVerbatim) {
  Load("ProjectName;Shop\n 0 ; Login ;  \n\tx\ry\n");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre(" 0 ; Login ;  ", "\tx\ry"));
}

TEST_F(MethodListTest, NameIsTheRestOfTheHeaderAfterItsFirstSemicolon) {
  Load("ProjectName; Shop\nm\n", "1.csv");
  Load("ProjectName;Shop;v2\nm\n", "2.csv");
  Load("ProjectName Shop\nm\n", "3.csv");
  Load("\xEF\xBB\xBFMy ProjectName;Bom\nm\n", "4.csv");
  Load("ProjectName;\nm\n", "5.csv");
  EXPECT_THAT(Names(),
              ElementsAre("", " Shop", "Bom", "ProjectName Shop", "Shop;v2"));
}

TEST_F(MethodListTest, HeaderWithoutProjectNameIsWrongFormat) {
  std::string path = Load("projectname;Shop\nm0\n");
  EXPECT_THAT(lists_, IsEmpty());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Open method list. (name: " + path + ")",
                          "ERROR|\"" + path + "\" wrong file format!"));
}

TEST_F(MethodListTest, EmptyFileIsWrongFormat) {
  std::string path = Load("");
  EXPECT_THAT(lists_, IsEmpty());
  EXPECT_EQ(env_.LogLines().back(),
            "ERROR|\"" + path + "\" wrong file format!");
}

TEST_F(MethodListTest, FileThatCannotBeOpenedChangesNothing) {
  lists_["Shop"] = {"m0"};
  std::string path = env_.methodsPath() + "missing.csv";
  OpenMethodList(path, lists_);
  EXPECT_THAT(lists_, ElementsAre(Pair("Shop", ElementsAre("m0"))));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Open method list. (name: " + path + ")",
                          "ERROR|\"" + path + "\" can't be opened!"));
}

TEST_F(MethodListTest, DefaultThresholdShowsOnlyTheError) {
  env_.settings().log_level = 1;
  std::string path = env_.methodsPath() + "missing.csv";
  OpenMethodList(path, lists_);
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("ERROR|\"" + path + "\" can't be opened!"));
}

TEST_F(MethodListTest, HeaderAloneCreatesAnEmptyList) {
  Load("ProjectName;Shop\n", "1.csv");
  Load("ProjectName;Bare", "2.csv");
  EXPECT_THAT(lists_,
              ElementsAre(Pair("Bare", IsEmpty()), Pair("Shop", IsEmpty())));
}

TEST_F(MethodListTest, HeaderAloneLeavesAnExistingListAsItIs) {
  lists_["Shop"] = {"m0", "m1"};
  Load("ProjectName;Shop\n");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre("m0", "m1"));
}

TEST_F(MethodListTest, EmptyLineIsAMethodLikeAnyOther) {
  Load("ProjectName;Shop\nm0\n\nm2\n");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre("m0", "", "m2"));
}

TEST_F(MethodListTest, LastLineWithoutLineFeedIsNotStored) {
  Load("ProjectName;Shop\nm0\nm1");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre("m0"));
}

TEST_F(MethodListTest, CarriageReturnLineEndsGiveTheSameEntries) {
  Load("ProjectName;Shop\r\nm0\r\n\r\nm2\r\n", "crlf.csv");
  MethodList crlf = lists_.at("Shop");
  lists_.clear();
  Load("ProjectName;Shop\nm0\n\nm2\n", "lf.csv");
  EXPECT_EQ(lists_.at("Shop"), crlf);
}

TEST_F(MethodListTest, LineOf1023CharactersIsStoredWhole) {
  std::string line(1023, 'm');
  Load("ProjectName;Shop\n" + line + "\nnext\n");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre(line, "next"));
}

TEST_F(MethodListTest, LineOf1024CharactersEndsTheListSilently) {
  std::string path =
      Load("ProjectName;Shop\nm0\n" + std::string(1024, 'm') + "\nm2\n");
  EXPECT_THAT(lists_.at("Shop"), ElementsAre("m0"));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Open method list. (name: " + path + ")"));
}

TEST_F(MethodListTest, OverlongHeaderNamesTheListButStoresNoLine) {
  std::string header = "ProjectName;" + std::string(1100, 'n');
  Load(header + "\nm0\n");
  EXPECT_THAT(lists_,
              ElementsAre(Pair(std::string(1023 - 12, 'n'), IsEmpty())));
}

TEST_F(MethodListTest, FilesNamingOneApplicationAreAppendedInLoadOrder) {
  Load("ProjectName;Shop\nm0\nm1\n", "1.csv");
  Load("x ProjectName;Shop\nm2\n", "2.csv");
  Load("ProjectName; Shop\nother\n", "3.csv");
  EXPECT_THAT(lists_, ElementsAre(Pair(" Shop", ElementsAre("other")),
                                  Pair("Shop", ElementsAre("m0", "m1", "m2"))));
}

}  // namespace
}  // namespace ostrivel::coverage
