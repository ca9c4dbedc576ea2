// ostrivel-report export, run as a program on the small program of the
// impact tests (testdata/impact, built with -g -O2), its method list
// written by ostrivel-methods and results written by the library.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/report/library_results.h"

namespace ostrivel::report {
namespace {

using ::testing::HasSubstr;

// The line of the sample source "file" holding "text" (the first one).
int LineOf(const std::string& file, const std::string& text) {
  std::ifstream in(std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/" + file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find(text) != std::string::npos) return number;
  }
  ADD_FAILURE() << "no \"" << text << "\" in " << file;
  return 0;
}

std::string SourceFile(const std::string& file) {
  return std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/" + file;
}

// The "TN:" section of "test" in an LCOV tracefile.
std::string Section(const std::string& lcov, const std::string& test) {
  std::size_t start = lcov.find("TN:" + test + "\n");
  if (start == std::string::npos) return "";
  std::size_t end = lcov.find("TN:", start + 3);
  return lcov.substr(start, end == std::string::npos ? end : end - start);
}

std::vector<std::string> TestNames(const std::string& lcov) {
  std::vector<std::string> names;
  for (const std::string& line : testing::SplitLines(lcov)) {
    if (line.rfind("TN:", 0) == 0) names.push_back(line.substr(3));
  }
  return names;
}

// The full path of "program" on the PATH, or empty.
std::string OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path == nullptr ? "" : path;
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + program;
    std::error_code code;
    if (end > start && std::filesystem::is_regular_file(candidate, code)) {
      return candidate;
    }
    start = end + 1;
  }
  return "";
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string list = dir_.File("listed.csv");
    tools::testing::ProgramRun methods = tools::testing::RunProgram(
        {OSTRIVEL_METHODS_PATH, "--binary", OSTRIVEL_IMPACT_SAMPLE_PATH,
         "--application", "sample", "--output", list});
    ASSERT_EQ(methods.exitCode, 0) << methods.errors;
    lines_ = testing::SplitLines(testing::ReadFile(list));
    lines_.erase(lines_.begin());  // the header
  }

  // Gives the library and the report the list, with its build ID, which
  // tells ostrivel-report which list the program counts into.
  void Publish() {
    results_.AddMethodList("sample", lines_);
    std::filesystem::copy_file(dir_.File("listed.csv.build-id"),
                               results_.File("methods/list0.csv.build-id"));
  }

  // One test of the sample: the calls of each method named.
  void Run(const std::string& test,
           const std::vector<std::pair<std::string, int>>& calls) {
    std::vector<std::int32_t> counts;
    for (const std::string& line : lines_) {
      std::int32_t count = 0;
      for (const auto& [name, n] : calls) {
        if (line.find(";" + name + ";") != std::string::npos) count = n;
      }
      counts.push_back(count);
    }
    results_.RunTest(test, {{"sample", counts}});
  }

  // Two tests: Price() three times (Twice() once, through its own copy),
  // and Discount() twice.
  void RunTwoTests() {
    Run("Shop.Price", {{"Price(int)", 3}, {"Twice(int)", 1}});
    Run("Shop.Discount", {{"Discount(int)", 2}});
  }

  // ostrivel-report --results ... export ARGUMENTS...
  int Export(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(),
                     {OSTRIVEL_REPORT_PATH, "--results",
                      results_.locations().results, "export"});
    tools::testing::ProgramRun run = tools::testing::RunProgram(arguments);
    output_ = run.output;
    errors_ = run.errors;
    return run.exitCode;
  }

  int ExportLcov() { return Export({"--binary", OSTRIVEL_IMPACT_SAMPLE_PATH}); }

  testing::TempDir dir_;
  LibraryResults results_;
  std::vector<std::string> lines_;
  std::string output_;
  std::string errors_;
};

TEST_F(ExportTest, LcovHasASectionPerTestWithEveryMethodOfItsFiles) {
  Publish();
  RunTwoTests();
  ASSERT_EQ(ExportLcov(), 0) << errors_;
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(TestNames(output_),
            (std::vector<std::string>{"Shop_Price", "Shop_Discount"}));
  int main = LineOf("main.cc", "int main(");
  int price = LineOf("shop.cc", "int Price(");
  int discount = LineOf("shop.cc", "int Discount(");
  int unused = LineOf("shop.cc", "int Unused(");
  int twice = LineOf("shop.h", "inline int Twice(");
  EXPECT_EQ(Section(output_, "Shop_Price"),
            fmt::format("TN:Shop_Price\n"
                        "SF:{0}\nFN:{1},main\nFNDA:0,main\nFNF:1\nFNH:0\n"
                        "DA:{1},0\nLF:1\nLH:0\nend_of_record\n"
                        "SF:{2}\nFN:{3},Price(int)\nFN:{4},Discount(int)\n"
                        "FN:{5},Unused(int)\nFNDA:3,Price(int)\n"
                        "FNDA:0,Discount(int)\nFNDA:0,Unused(int)\n"
                        "FNF:3\nFNH:1\nDA:{3},3\nDA:{4},0\nDA:{5},0\n"
                        "LF:3\nLH:1\nend_of_record\n"
                        "SF:{6}\nFN:{7},Twice(int)\nFNDA:1,Twice(int)\n"
                        "FNF:1\nFNH:1\nDA:{7},1\nLF:1\nLH:1\nend_of_record\n",
                        SourceFile("main.cc"), main, SourceFile("shop.cc"),
                        price, discount, unused, SourceFile("shop.h"), twice));
}

TEST_F(ExportTest, JsonGivesEachMethodsPlaceAndItsCallsPerTest) {
  Publish();
  RunTwoTests();
  ASSERT_EQ(
      Export({"--format", "json", "--binary", OSTRIVEL_IMPACT_SAMPLE_PATH}), 0)
      << errors_;
  boost::json::value document = boost::json::parse(output_);
  const boost::json::array& applications =
      document.at("applications").as_array();
  ASSERT_EQ(applications.size(), 1u);
  EXPECT_EQ(applications[0].at("name").as_string(), "sample");
  std::optional<std::int64_t> price;
  for (const boost::json::value& method :
       applications[0].at("methods").as_array()) {
    if (method.at("name").as_string() != "Price(int)") continue;
    price = method.at("position").as_int64();
    EXPECT_EQ(boost::json::value_to<std::string>(method.at("file")),
              SourceFile("shop.cc"));
    EXPECT_EQ(method.at("line").as_int64(), LineOf("shop.cc", "int Price("));
  }
  ASSERT_TRUE(price);

  // Per test: its calls of Price() (0: not listed among the methods it
  // reached), and its trace length.
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> seen;
  for (const boost::json::value& test : document.at("tests").as_array()) {
    const boost::json::array& ran = test.at("applications").as_array();
    ASSERT_EQ(ran.size(), 1u);
    std::int64_t calls = 0;
    for (const boost::json::value& reached : ran[0].at("methods").as_array()) {
      if (reached.at("position").as_int64() == *price) {
        calls = reached.at("calls").as_int64();
      }
    }
    seen[boost::json::value_to<std::string>(test.at("name"))] = {
        calls, ran[0].at("trace_length").as_int64()};
  }
  EXPECT_EQ(seen, (std::map<std::string, std::pair<std::int64_t, std::int64_t>>{
                      {"Shop.Price", {3, 4}}, {"Shop.Discount", {0, 2}}}));
}

TEST_F(ExportTest, TestNamesBecomeLcovNamesThatStayApart) {
  Publish();
  struct Case {
    const char* test;
    const char* section;
  };
  const std::vector<Case> cases = {
      {"Suite.A", "Suite_A"},
      {"Suite_A", "Suite_A_2"},  // taken by the test before
      {"Suite-A", "Suite_A_3"},
      {"\xc3\x9cml\xc3\xa4ut", "__ml__ut"},  // every byte of UTF-8
      {"Param<int>.Run 0", "Param_int__Run_0"},
  };
  for (const Case& c : cases) Run(c.test, {{"Price(int)", 1}});
  ASSERT_EQ(ExportLcov(), 0) << errors_;
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(c.section);
  EXPECT_EQ(TestNames(output_), expected);
}

TEST_F(ExportTest, AMethodOfTwoApplicationsGetsANumberInItsFile) {
  // The same program listed as two applications, as a program and a library
  // that both hold an inline function: one file, two functions of one name.
  Publish();
  results_.AddMethodList("copy", lines_);
  std::vector<std::int32_t> counts;
  for (const std::string& line : lines_) {
    counts.push_back(line.find(";Twice(int);") != std::string::npos ? 1 : 0);
  }
  std::vector<std::int32_t> copied = counts;
  for (std::int32_t& count : copied) count *= 4;
  results_.RunTest("Both", {{"sample", counts}, {"copy", copied}});
  std::string sample = OSTRIVEL_IMPACT_SAMPLE_PATH;
  ASSERT_EQ(
      Export({"--binary", "sample=" + sample, "--binary", "copy=" + sample}), 0)
      << errors_;
  int twice = LineOf("shop.h", "inline int Twice(");
  // "copy" sorts first: it keeps the name.
  EXPECT_THAT(output_,
              HasSubstr(fmt::format(
                  "SF:{0}\nFN:{1},Twice(int)\nFN:{1},Twice(int) (2)\n"
                  "FNDA:4,Twice(int)\nFNDA:1,Twice(int) (2)\nFNF:2\nFNH:2\n"
                  "DA:{1},5\nLF:1\nLH:1\nend_of_record\n",
                  SourceFile("shop.h"), twice)));
}

TEST_F(ExportTest, SaysWhatItCannotPlaceOrUse) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::vector<std::string> arguments;
    int exitCode;
    std::string error;
  };
  std::string sample = OSTRIVEL_IMPACT_SAMPLE_PATH;
  const std::vector<Case> cases = {
      {"a listed method the debug information does not know",
       [&] {
         lines_.push_back("0x7777;Ghost(int);");
         Publish();
         RunTwoTests();
       },
       {"--binary", sample},
       0,
       fmt::format("ostrivel-report: export: 1 of the 6 methods of "
                   "\"sample\" have no file and line in the debug "
                   "information of \"{}\"\n",
                   sample)},
      {"no --binary for an application with rows (JSON)",
       [&] {
         Publish();
         RunTwoTests();
       },
       {"--format", "json"},
       0,
       "ostrivel-report: export: no --binary for \"sample\": its 5 methods "
       "have no file and line\n"},
      {"LCOV without --binary",
       [&] { Publish(); },
       {},
       2,
       "ostrivel-report: export: --format lcov needs --binary: the files and "
       "lines come from the debug information\n"},
      {"a program no list was written for",
       [&] {
         Publish();
         RunTwoTests();
       },
       {"--binary", OSTRIVEL_METHODS_PATH},
       2,
       "was written for \"" + std::string(OSTRIVEL_METHODS_PATH) + "\""},
      {"no result file yet",
       [&] { Publish(); },
       {"--binary", sample},
       2,
       fmt::format("ostrivel-report: export: \"{}\" cannot be read",
                   results_.locations().results)},
      {"no usable row: the refused rows, and nothing to export",
       [&] {
         Publish();
         Run("Shop.Price", {{"Price(int)", 1}});
         std::filesystem::remove(
             TracePath(results_.locations(), "Shop.Price", "sample"));
       },
       {"--binary", sample},
       2,
       fmt::format("ostrivel-report: {0}:2: row not used: the trace file "
                   "\"{1}\" is missing: Shop.Price;sample;"
                   "1;20;1500;2;0 1 3 4\n"
                   "ostrivel-report: export: no usable row in \"{0}\": "
                   "nothing to export\n",
                   results_.locations().results,
                   TracePath(results_.locations(), "Shop.Price", "sample"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Each case starts from a clean methods folder and result file.
    std::filesystem::remove_all(results_.File("methods"));
    std::filesystem::create_directory(results_.File("methods"));
    std::filesystem::remove(results_.locations().results);
    lines_.erase(std::remove(lines_.begin(), lines_.end(),
                             std::string("0x7777;Ghost(int);")),
                 lines_.end());
    c.prepare();
    EXPECT_EQ(Export(c.arguments), c.exitCode) << errors_;
    EXPECT_THAT(errors_, HasSubstr(c.error));
    if (c.exitCode != 0) {
      EXPECT_EQ(output_, "");
    }
  }
}

TEST_F(ExportTest, WritesTheOutputFileWholeOrNotAtAll) {
  Publish();
  RunTwoTests();
  ASSERT_EQ(ExportLcov(), 0) << errors_;
  std::string printed = output_;
  std::string folder = dir_.File("out");
  std::filesystem::create_directory(folder);
  std::string file = folder + "/coverage.info";
  ASSERT_EQ(Export({"--output", file, "--binary", OSTRIVEL_IMPACT_SAMPLE_PATH}),
            0)
      << errors_;
  EXPECT_EQ(output_, "");
  EXPECT_EQ(testing::ReadFile(file), printed);
  // Nothing but the file: the temporary name was renamed.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"coverage.info"});

  EXPECT_EQ(Export({"--output", folder + "/missing/coverage.info", "--binary",
                    OSTRIVEL_IMPACT_SAMPLE_PATH}),
            2);
  EXPECT_THAT(errors_, HasSubstr("cannot write \"" + folder +
                                 "/missing/coverage.info.writing.1\""));
}

// genhtml (Debian's lcov) renders the tracefile; its function view and its
// per-test view (--show-details) show what each test reached.
TEST_F(ExportTest, GenhtmlRendersTheTracefileWithItsPerTestView) {
  std::string genhtml = OnPath("genhtml");
  if (genhtml.empty()) {
    const char* required = std::getenv("OSTRIVEL_REQUIRE_LCOV");
    if (required != nullptr && std::string(required) == "1") {
      FAIL() << "genhtml is not installed (OSTRIVEL_REQUIRE_LCOV=1)";
    }
    GTEST_SKIP() << "genhtml is not installed (Debian's lcov; "
                    "OSTRIVEL_REQUIRE_LCOV=1 makes this a failure)";
  }
  Publish();
  RunTwoTests();
  std::string info = dir_.File("coverage.info");
  ASSERT_EQ(Export({"--output", info, "--binary", OSTRIVEL_IMPACT_SAMPLE_PATH}),
            0)
      << errors_;
  std::string html = dir_.File("html");
  tools::testing::ProgramRun run = tools::testing::RunProgram(
      {genhtml, "--show-details", "--quiet", "--output-directory", html, info});
  ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;

  // The pages of shop.cc's folder: its function view, and the per-test view
  // of the folder.
  std::string functions;
  std::string details;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(html)) {
    std::string name = entry.path().filename().string();
    if (name == "shop.cc.func.html") {
      functions = testing::ReadFile(entry.path().string());
      details = testing::ReadFile(
          (entry.path().parent_path() / "index-detail.html").string());
    }
  }
  ASSERT_NE(functions, "") << "no function view of shop.cc in " << html;
  // Only Shop.Discount calls Discount(), twice; no test calls Unused().
  EXPECT_TRUE(std::regex_search(
      functions,
      std::regex(R"(Discount\(int\)</a>(?:(?!</tr>)[\s\S])*>\s*2\s*</td>)")))
      << functions;
  EXPECT_TRUE(std::regex_search(
      functions,
      std::regex(R"(Unused\(int\)</a>(?:(?!</tr>)[\s\S])*>\s*0\s*</td>)")))
      << functions;
  // Each test is listed under the file it reached.
  EXPECT_THAT(details, HasSubstr("Shop_Discount"));
  EXPECT_THAT(details, HasSubstr("Shop_Price"));
}

}  // namespace
}  // namespace ostrivel::report
