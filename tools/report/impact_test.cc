// ostrivel-report impacted and gaps, run as programs on a small program
// built with -g -O2 (testdata/impact), its method list written by
// ostrivel-methods and results written by the library.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/process/child_process.h"
#include "tools/report/library_results.h"

namespace ostrivel::report {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kSourceFolder = "tools/report/testdata/impact/";

// Line "marker" of a sample source: its number and text.
std::pair<int, std::string> Marked(const std::string& file,
                                   const std::string& marker) {
  std::ifstream in(std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/" + file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find("marker:" + marker) != std::string::npos) {
      return {number, line};
    }
  }
  ADD_FAILURE() << "no marker " << marker << " in " << file;
  return {0, ""};
}

std::string Header(const std::string& file) {
  return fmt::format(
      "diff --git a/{0}{1} b/{0}{1}\n--- a/{0}{1}\n+++ b/{0}{1}\n",
      kSourceFolder, file);
}

std::string Change(const std::string& file, const std::string& marker) {
  auto [number, text] = Marked(file, marker);
  return Header(file) +
         fmt::format("@@ -{0} +{0} @@\n-{1}\n+{1} // changed\n", number, text);
}

std::string Delete(const std::string& file, const std::string& marker) {
  auto [number, text] = Marked(file, marker);
  return Header(file) +
         fmt::format("@@ -{} +{},0 @@\n-{}\n", number, number - 1, text);
}

// Inserts a line after line "marker" (moved by "offset" lines).
std::string InsertAfter(const std::string& file, const std::string& marker,
                        int offset = 0) {
  int number = Marked(file, marker).first + offset;
  return Header(file) +
         fmt::format("@@ -{},0 +{} @@\n+int Added() {{ return 0; }}\n", number,
                     number + 1);
}

const std::string kBuildFileChange =
    "diff --git a/CMakeLists.txt b/CMakeLists.txt\n"
    "--- a/CMakeLists.txt\n+++ b/CMakeLists.txt\n"
    "@@ -3 +3 @@\n-project(x)\n+project(y)\n";

class ImpactTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::testing::UnitTest::GetInstance()->current_test_info()->name() ==
        std::string("TheClangRouteMatchesByProfileName")) {
      return;
    }
    ListProgram(OSTRIVEL_IMPACT_SAMPLE_PATH);
    // The build ID tells ostrivel-report which list the program counts into.
    std::filesystem::copy_file(dir_.File("listed.csv.build-id"),
                               results_.File("methods/list0.csv.build-id"));
  }

  // Results of four tests: each calls the methods named, once.
  void RunTests() {
    Run("PriceTest", {"Price(int)"}, 3000);
    Run("TwiceTest", {"Twice(int)"}, 1000);
    Run("Both", {"Price(int)", "Twice(int)"}, 5000);
    Run("DiscountTest", {"Discount(int)"}, 1000);
  }

  void Run(const std::string& test, const std::vector<std::string>& names,
           int runtime) {
    std::vector<std::int32_t> counts;
    for (const std::string& line : lines_) {
      bool called = false;
      for (const std::string& name : names) {
        called = called || line.find(";" + name + ";") != std::string::npos;
      }
      counts.push_back(called ? 1 : 0);
    }
    results_.RunTest(test, {{"sample", counts}}, runtime);
  }

  // Lists the program at "binary" as ostrivel-methods does and gives the
  // library that list.
  void ListProgram(const std::string& binary) {
    std::string list = dir_.File("listed.csv");
    tools::testing::ProgramRun methods = tools::testing::RunProgram(
        {OSTRIVEL_METHODS_PATH, "--binary", binary, "--application", "sample",
         "--output", list});
    ASSERT_EQ(methods.exitCode, 0) << methods.errors;
    lines_ = testing::SplitLines(testing::ReadFile(list));
    lines_.erase(lines_.begin());  // the header
    results_.AddMethodList("sample", lines_);
  }

  // ostrivel-report COMMAND --diff DIFF --binary SAMPLE ARGUMENTS...
  int Report(const std::string& command, const std::string& diff,
             std::vector<std::string> arguments = {},
             const std::string& binary = OSTRIVEL_IMPACT_SAMPLE_PATH) {
    testing::WriteFile(dir_.File("change.diff"), diff);
    arguments.insert(
        arguments.begin(),
        {OSTRIVEL_REPORT_PATH, "--results", results_.locations().results,
         command, "--diff", dir_.File("change.diff"), "--binary", binary});
    tools::testing::ProgramRun run = tools::testing::RunProgram(arguments);
    output_ = run.output;
    errors_ = run.errors;
    return run.exitCode;
  }

  std::string Line(const std::string& name) const {
    for (const std::string& line : lines_) {
      if (line.find(";" + name + ";") != std::string::npos) return line;
    }
    return "";
  }

  testing::TempDir dir_;
  LibraryResults results_;
  std::vector<std::string> lines_;
  std::string output_;
  std::string errors_;
};

const char* const kAllTests = "PriceTest\nTwiceTest\nBoth\nDiscountTest\n";

TEST_F(ImpactTest, SelectsTheTestsOfTheChangedMethodsOrAllWithAReason) {
  RunTests();
  struct Case {
    const char* what;
    std::string diff;
    int exitCode;
    std::string tests;
    std::string reason;  // on standard error; empty: none
    std::string gaps;    // gaps' output
  };
  std::string unused = fmt::format(
      "{}/shop.cc:{}\tsample\t{}\n", OSTRIVEL_IMPACT_SOURCE_DIR,
      Marked("shop.cc", "unused-body").first - 1, Line("Unused(int)"));
  for (const Case& c : std::vector<Case>{
           {"a function one test calls", Change("shop.cc", "discount-body"), 0,
            "DiscountTest\n", "", ""},
           {"an inline header function: where it was inlined and its own "
            "copy, more changed methods first, then the shorter runtime",
            Change("shop.h", "twice-body"), 0, "Both\nTwiceTest\nPriceTest\n",
            "", ""},
           {"a function between a same-file helper and the function it is "
            "inlined into",
            Change("shop.cc", "price-body"), 0, "PriceTest\nBoth\n", "", ""},
           {"a helper of the same file inlined into its caller",
            Change("shop.cc", "tenth-body"), 0, "DiscountTest\n", "", ""},
           {"a comment inside an inline function",
            Change("shop.h", "twice-comment"), 0,
            "Both\nTwiceTest\nPriceTest\n", "", ""},
           {"a deleted line", Delete("shop.cc", "discount-first"), 0,
            "DiscountTest\n", "", ""},
           {"lines inserted inside a function",
            InsertAfter("shop.cc", "discount-first"), 0, "DiscountTest\n", "",
            ""},
           {"a new function right after another",
            InsertAfter("shop.cc", "between-functions", -1), 3, kAllTests,
            fmt::format("all tests: \"{}shop.cc\": lines inserted after line "
                        "{} lie outside every listed method",
                        kSourceFolder,
                        Marked("shop.cc", "between-functions").first - 1),
            ""},
           {"a comment outside functions", Change("shop.cc", "comment-outside"),
            3, kAllTests,
            fmt::format("all tests: \"{}shop.cc\" line {}: changed outside "
                        "every listed method",
                        kSourceFolder,
                        Marked("shop.cc", "comment-outside").first),
            ""},
           {"a build file", kBuildFileChange, 3, kAllTests,
            "all tests: \"CMakeLists.txt\" changed, and no debug information "
            "describes it",
            ""},
           {"a listed method no test reaches", Change("shop.cc", "unused-body"),
            1, "", "", unused},
       }) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Report("impacted", c.diff), c.exitCode) << errors_;
    EXPECT_EQ(output_, c.tests);
    if (c.reason.empty()) {
      EXPECT_THAT(errors_, Not(HasSubstr("impacted:")));
    } else {
      EXPECT_THAT(errors_, HasSubstr("ostrivel-report: impacted: " + c.reason));
    }
    EXPECT_EQ(Report("gaps", c.diff), c.gaps.empty() ? 0 : 1) << errors_;
    EXPECT_EQ(output_, c.gaps);
  }
}

TEST_F(ImpactTest, ThePageWrittenForADiffListsItsGaps) {
  RunTests();
  std::string diff = Change("shop.cc", "unused-body") + kBuildFileChange;
  std::string page = dir_.File("page.html");
  EXPECT_EQ(Report("html", diff, {page}), 0) << errors_;
  std::string html = testing::ReadFile(page);
  EXPECT_THAT(html, HasSubstr(fmt::format(
                        "<h2>Changed methods no test reaches</h2>\n<table "
                        "class=\"plain\"><thead><tr><th>File</th><th>"
                        "Application</th><th>Method</th></tr></thead><tbody>"
                        "\n<tr><td><code>{}/shop.cc:{}</code><td>sample<td>"
                        "<code>{}</code>\n</tbody></table>\n<p>Changes no "
                        "listed method holds:</p><ul><li>&quot;CMakeLists.txt"
                        "&quot; changed",
                        OSTRIVEL_IMPACT_SOURCE_DIR,
                        Marked("shop.cc", "unused-body").first - 1,
                        Line("Unused(int)"))));
}

TEST_F(ImpactTest, AProgramNewerThanTheTracesSelectsAllTests) {
  RunTests();
  std::string copy = dir_.File("sample-copy");
  std::filesystem::copy_file(OSTRIVEL_IMPACT_SAMPLE_PATH, copy);
  std::filesystem::last_write_time(
      copy,
      std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
  EXPECT_EQ(Report("impacted", Change("shop.cc", "discount-body"), {}, copy),
            3);
  EXPECT_EQ(output_, kAllTests);
  EXPECT_THAT(errors_, HasSubstr(fmt::format(
                           "impacted: all tests: \"{}\" is newer than the "
                           "trace file",
                           copy)));
}

TEST_F(ImpactTest, NoTraceDataSelectsAllTests) {
  EXPECT_EQ(Report("impacted", Change("shop.cc", "discount-body"),
                   {"--format", "json"}),
            3);
  EXPECT_EQ(output_,
            fmt::format("{{\"selection\":\"all\",\"reasons\":[\"no trace "
                        "data: no usable row in \\\"{}\\\"\"],\"untraced\":[],"
                        "\"tests\":[],"
                        "\"changed_methods\":[{{\"application\":\"sample\","
                        "\"method\":\"{}\",\"file\":\"{}/shop.cc\",\"line\":{},"
                        "\"tests\":0}}],\"all_tests\":[]}}\n",
                        results_.locations().results, Line("Discount(int)"),
                        OSTRIVEL_IMPACT_SOURCE_DIR,
                        Marked("shop.cc", "discount-first").first - 1));
  // Every changed method would be a gap.
  EXPECT_EQ(Report("gaps", Change("shop.cc", "discount-body")), 2);
  EXPECT_THAT(errors_, HasSubstr("gaps: no usable row in"));
}

TEST_F(ImpactTest, FormatsForGoogleTestAndTheRunner) {
  RunTests();
  std::string header = Change("shop.h", "twice-body");
  EXPECT_EQ(Report("impacted", header, {"--format", "gtest-filter"}), 0);
  EXPECT_EQ(output_, "Both:TwiceTest:PriceTest\n");
  EXPECT_EQ(Report("impacted", kBuildFileChange, {"--format", "gtest-filter"}),
            3);
  EXPECT_EQ(output_, "*\n");

  // A test of the list without a trace cannot be said to miss the change.
  testing::WriteFile(dir_.File("tests.txt"),
                     "# the shop\nPriceTest\t./shop 1\nTwiceTest\t./shop 2\n"
                     "Both\t./shop 3\nNewTest\t./shop 4\n");
  EXPECT_EQ(
      Report("impacted", header,
             {"--format", "test-list", "--test-list", dir_.File("tests.txt")}),
      0);
  EXPECT_EQ(output_,
            "Both\t./shop 3\nTwiceTest\t./shop 2\nPriceTest\t./shop 1\n"
            "NewTest\t./shop 4\n");
  EXPECT_THAT(errors_, HasSubstr("impacted: \"NewTest\" has no usable trace "
                                 "data: selected"));

  EXPECT_EQ(Report("impacted", header, {"--format", "json"}), 0);
  EXPECT_THAT(
      output_,
      HasSubstr("{\"selection\":\"mapped\",\"reasons\":[],"
                "\"untraced\":[],\"tests\":[{\"name\":\"Both\",\"runtime\":"
                "5000,\"methods\":[{\"application\":"
                "\"sample\",\"method\":\"" +
                Line("Twice(int)") + "\""));
}

// The index beside the result file answers as the result and trace files
// do, whatever changed since it was written.
TEST_F(ImpactTest, TheIndexAnswersAsTheResultAndTraceFilesDo) {
  namespace fs = std::filesystem;
  RunTests();
  const Locations locations = results_.locations();
  const std::string index = locations.results + ".impact-index";
  const std::string diff =
      Change("shop.h", "twice-body") + Change("shop.cc", "discount-body");
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string expected;  // part of the JSON answer
  };
  const Case cases[] = {
      {"no index yet", [] {}, R"("tests":[{"name":"Both","runtime":5000,)"},
      {"the index up to date", [] {}, R"("untraced":[])"},
      {"a test run again, reaching one more changed method",
       [&] {
         Run("DiscountTest", {"Discount(int)", "Twice(int)"}, 2000);
       },
       R"("tests":[{"name":"DiscountTest","runtime":2000,)"},
      {"the index cut short",
       [&] { fs::resize_file(index, fs::file_size(index) / 2); },
       R"("tests":[{"name":"DiscountTest","runtime":2000,)"},
      {"a runtime in the index damaged",
       [&] {
         std::string bytes = testing::ReadFile(index);
         const double was = 5000;
         const double damaged = 6000;
         std::size_t at =
             bytes.find(std::string(reinterpret_cast<const char*>(&was), 8));
         ASSERT_NE(at, std::string::npos);
         bytes.replace(at, 8, reinterpret_cast<const char*>(&damaged), 8);
         testing::WriteFile(index, bytes);
       },
       R"("tests":[{"name":"DiscountTest","runtime":2000,)"},
      {"a row added to the result file",
       [&] { results_.AppendToResults("Half;sample;1\r\n"); },
       R"("untraced":["Half"])"},
      {"a trace file removed",
       [&] { fs::remove(TracePath(locations, "PriceTest", "sample")); },
       R"("untraced":["PriceTest","Half"])"},
      {"a trace file rewritten, its row as it was",
       [&] {
         fs::copy_file(TracePath(locations, "DiscountTest", "sample"),
                       TracePath(locations, "TwiceTest", "sample"),
                       fs::copy_options::overwrite_existing);
       },
       R"("untraced":["PriceTest","TwiceTest","Half"])"},
      {"a trace file back again",
       [&] {
         fs::copy_file(TracePath(locations, "Both", "sample"),
                       TracePath(locations, "PriceTest", "sample"));
       },
       R"("untraced":["PriceTest","TwiceTest","Half"])"},
      {"a method list added",
       [&] { results_.AddMethodList("other", {"0x10;Other();"}, false); },
       R"("untraced":["PriceTest","TwiceTest","Half"])"},
      {"a method list changed",
       [&] {
         std::string list =
             testing::ReadFile(results_.File("methods/list0.csv"));
         list.replace(list.find("Twice(int)"), 10, "Twice(long)");
         testing::WriteFile(results_.File("methods/list0.csv"), list);
       },
       R"("selection":"all")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    for (const char* format : {"json", "lines"}) {
      int withIndex = Report("impacted", diff, {"--format", format});
      std::string output = output_;
      std::string errors = errors_;
      EXPECT_EQ(Report("impacted", diff, {"--format", format, "--no-index"}),
                withIndex);
      EXPECT_EQ(output, output_);
      EXPECT_EQ(errors, errors_);
    }
    int gaps = Report("gaps", diff);
    std::string gapList = output_;
    EXPECT_EQ(Report("gaps", diff, {"--no-index"}), gaps);
    EXPECT_EQ(output_, gapList);
    EXPECT_TRUE(fs::is_regular_file(index));
    Report("impacted", diff, {"--format", "json"});
    EXPECT_THAT(output_, HasSubstr(c.expected));
  }
}

TEST_F(ImpactTest, AnIndexServesOnlyTheTracesItWasWrittenFrom) {
  namespace fs = std::filesystem;
  RunTests();
  const std::string diff = Change("shop.h", "twice-body");
  EXPECT_EQ(Report("impacted", diff), 0);
  EXPECT_EQ(output_, "Both\nTwiceTest\nPriceTest\n");
  // The same results read with the trace files of another folder, as
  // large and as old as the first, but one of another run.
  const std::string other = dir_.File("other-traces/");
  fs::create_directories(other);
  for (const char* test : {"PriceTest", "TwiceTest", "Both", "DiscountTest"}) {
    std::string from = TracePath(results_.locations(), test, "sample");
    std::string to = TracePath({"", other, ""}, test, "sample");
    std::string text = testing::ReadFile(from);
    if (test == std::string("TwiceTest")) {
      text.replace(text.rfind(";1\r\n"), 4, ";2\r\n");
    }
    testing::WriteFile(to, text);
    fs::last_write_time(to, fs::last_write_time(from));
  }
  for (bool index : {true, false}) {
    SCOPED_TRACE(index ? "index" : "no index");
    std::vector<std::string> arguments = {OSTRIVEL_REPORT_PATH,
                                          "--results",
                                          results_.locations().results,
                                          "--traces",
                                          other,
                                          "impacted",
                                          "--diff",
                                          dir_.File("change.diff"),
                                          "--binary",
                                          OSTRIVEL_IMPACT_SAMPLE_PATH};
    if (!index) arguments.push_back("--no-index");
    tools::testing::ProgramRun run = tools::testing::RunProgram(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "Both\nPriceTest\nTwiceTest\n");
  }
  EXPECT_EQ(Report("impacted", diff), 0);
  EXPECT_EQ(output_, "Both\nTwiceTest\nPriceTest\n");
}

TEST_F(ImpactTest, AnIndexThatCannotBeWrittenIsOnlyNamed) {
  RunTests();
  const std::string index = results_.locations().results + ".impact-index";
  std::filesystem::create_directories(index + "/taken");
  EXPECT_EQ(Report("impacted", Change("shop.cc", "discount-body")), 0);
  EXPECT_EQ(output_, "DiscountTest\n");
  EXPECT_THAT(errors_,
              HasSubstr(fmt::format("ostrivel-report: impacted: the index was "
                                    "not written: \"{}.new-",
                                    index)));
  EXPECT_THAT(errors_, HasSubstr("the next run reads the result and trace "
                                 "files again\n"));
  // Nothing is left behind.
  for (const auto& entry :
       std::filesystem::directory_iterator(results_.File(""))) {
    EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".new-")));
  }
}

TEST_F(ImpactTest, ATestWithoutAUsableRowIsSelected) {
  RunTests();
  results_.AppendToResults("Half;sample;1");
  EXPECT_EQ(Report("impacted", Change("shop.cc", "discount-body")), 0);
  EXPECT_EQ(output_, "DiscountTest\nHalf\n");
  EXPECT_THAT(errors_, HasSubstr("impacted: \"Half\" has no usable trace "
                                 "data: selected"));
}

TEST_F(ImpactTest, OnlyMappedSelectsTheMappedTestsAndStillGivesTheReasons) {
  RunTests();
  std::string diff = Change("shop.cc", "discount-body") + kBuildFileChange;
  EXPECT_EQ(Report("impacted", diff, {"--only-mapped"}), 0);
  EXPECT_EQ(output_, "DiscountTest\n");
  EXPECT_THAT(errors_, HasSubstr("impacted: not mapped (--only-mapped): "
                                 "\"CMakeLists.txt\" changed"));
}

TEST_F(ImpactTest, PathsRelativeToTheSourceRoot) {
  RunTests();
  std::string diff = Change("shop.cc", "discount-body");
  EXPECT_EQ(
      Report("impacted", diff, {"--source-root", OSTRIVEL_PROJECT_SOURCE_DIR}),
      0);
  EXPECT_EQ(output_, "DiscountTest\n");
  // Under another root the path names no file of the debug information.
  EXPECT_EQ(Report("impacted", diff, {"--source-root", dir_.path()}), 3);
  EXPECT_THAT(errors_, HasSubstr("no debug information describes it"));
}

TEST_F(ImpactTest, BadInputIsAnInputError) {
  RunTests();
  std::string diff = Change("shop.cc", "discount-body");
  // The hunk's new line is missing.
  std::string broken = diff.substr(0, diff.rfind("\n+") + 1) + "junk\n";
  EXPECT_EQ(Report("impacted", broken), 2);
  EXPECT_THAT(errors_, HasSubstr(fmt::format(
                           "impacted: the diff \"{}\": line 6: a hunk of "
                           "\"{}shop.cc\" ends early: 0 old and 1 new lines "
                           "are missing",
                           dir_.File("change.diff"), kSourceFolder)));
  EXPECT_EQ(Report("gaps", broken.substr(0, broken.size() - 5)), 2);
  EXPECT_THAT(errors_,
              HasSubstr("gaps: the diff \"" + dir_.File("change.diff") +
                        "\": line 5: the diff ends inside a hunk"));
  EXPECT_EQ(Report("impacted", "@@ -1 +1 @@\n-a\n+b\n"), 2);
  EXPECT_THAT(errors_, HasSubstr("line 1: a hunk (\"@@\") without the \"---\" "
                                 "and \"+++\" lines of its file"));
  // A program that no list was written for.
  EXPECT_EQ(Report("impacted", diff, {}, OSTRIVEL_METHODS_PATH), 2);
  EXPECT_THAT(errors_, HasSubstr("name its application with --binary "
                                 "APP=PATH"));
}

// A diff of git's, with renames and binary files, read from standard input.
TEST_F(ImpactTest, ReadsGitDiffsFromStandardInput) {
  RunTests();
  tools::testing::ChildProcess child;
  ASSERT_TRUE(child.Start({OSTRIVEL_REPORT_PATH, "--results",
                           results_.locations().results, "impacted", "--diff",
                           "-", "--binary", OSTRIVEL_IMPACT_SAMPLE_PATH}));
  auto [number, text] = Marked("shop.cc", "discount-body");
  child.Write(fmt::format(
      "commit 0123\nAuthor: A <a@b>\n\n    Rename and change\n\n"
      "diff --git a/{0}shop.cc b/{0}store.cc\nsimilarity index 90%\n"
      "rename from {0}shop.cc\nrename to {0}store.cc\n"
      "--- a/{0}shop.cc\n+++ b/{0}store.cc\n@@ -{1} +{1} @@\n-{2}\n+{2}//\n"
      "diff --git a/{0}logo.png b/{0}logo.png\nnew file mode 100644\n"
      "index 0000000..3f2a1b4\nBinary files /dev/null and b/{0}logo.png "
      "differ\n",
      kSourceFolder, number, text));
  child.CloseInput();
  std::string output;
  while (auto line = child.ReadLine()) output += *line + "\n";
  std::string errors = child.ReadAllErrors();
  std::optional<int> status = child.Wait();
  ASSERT_TRUE(status);
  EXPECT_EQ(tools::testing::ExitCode(*status), 3) << errors;
  EXPECT_EQ(output, kAllTests);
  EXPECT_THAT(errors,
              HasSubstr(fmt::format("all tests: \"{}logo.png\" is a new file",
                                    kSourceFolder)));
  EXPECT_THAT(errors, Not(HasSubstr("shop.cc")));
}

TEST_F(ImpactTest, RunsGitDiffItself) {
  if (!process::RunCommand("command -v git", {}).Passed()) {
    GTEST_SKIP() << "git is not installed";
  }
  RunTests();
  // A repository holding the sample's source at its path.
  std::string folder = dir_.File("repo/") + kSourceFolder;
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(
      std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/shop.cc", folder + "shop.cc");
  std::string git = fmt::format(
      "cd '{}' && git -c user.name=t -c user.email=t@t ", dir_.File("repo"));
  ASSERT_TRUE(
      process::RunCommand(
          git + "init -q && " + git + "add . && " + git + "commit -qm one", {})
          .Passed());
  std::string source = testing::ReadFile(folder + "shop.cc");
  std::string text = Marked("shop.cc", "discount-body").second;
  source.replace(source.find(text), text.size(), text + " // changed");
  testing::WriteFile(folder + "shop.cc", source);

  std::string report = fmt::format(
      "cd '{}' && '{}' --results '{}' impacted --binary '{}' --git ",
      dir_.File("repo"), OSTRIVEL_REPORT_PATH, results_.locations().results,
      OSTRIVEL_IMPACT_SAMPLE_PATH);
  process::CommandResult run = process::RunCommand(report + "HEAD", {});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "DiscountTest\n");
  run = process::RunCommand(report + "no-such-revision", {});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(run.output,
              HasSubstr("impacted: git diff no-such-revision failed (exit "
                        "code 128)"));
}

// On the clang route the list names functions by their profile names' hash.
TEST_F(ImpactTest, TheClangRouteMatchesByProfileName) {
  std::string clang = OSTRIVEL_CLANGXX_PATH;
  if (clang.empty() || clang.find("NOTFOUND") != std::string::npos) {
    GTEST_SKIP() << "clang++ is not installed";
  }
  std::string binary = dir_.File("clang-sample");
  process::CommandResult built = process::RunCommand(
      fmt::format("'{0}' -g -O2 -fprofile-instr-generate -I '{1}' "
                  "'{2}/main.cc' '{2}/shop.cc' -o '{3}'",
                  clang, OSTRIVEL_PROJECT_SOURCE_DIR,
                  OSTRIVEL_IMPACT_SOURCE_DIR, binary),
      {});
  ASSERT_TRUE(built.Passed()) << built.output;
  ListProgram(binary);
  ASSERT_THAT(Line("Twice(int)"), ::testing::StartsWith("llvm:"));
  RunTests();
  // No build ID file beside a list of the clang route: the application is
  // named.
  EXPECT_EQ(Report("impacted", Change("shop.h", "twice-comment"), {},
                   "sample=" + binary),
            0)
      << errors_;
  EXPECT_EQ(output_, "Both\nTwiceTest\nPriceTest\n");
  EXPECT_EQ(Report("impacted", Change("shop.cc", "discount-body"), {},
                   "sample=" + binary),
            0);
  EXPECT_EQ(output_, "DiscountTest\n");
}

}  // namespace
}  // namespace ostrivel::report
