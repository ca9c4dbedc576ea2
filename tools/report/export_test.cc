// ostrivel-report export, run as a program on the small program of the
// impact tests (testdata/impact, built with -g -O2), its method list
// written by ostrivel-methods and results written by the library.

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
[[maybe_unused]] int LineOf(const std::string& file, const std::string& text) {
  std::ifstream in(std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/" + file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find(text) != std::string::npos) return number;
  }
  ADD_FAILURE() << "no \"" << text << "\" in " << file;
  return 0;
}

[[maybe_unused]] std::string SourceFile(const std::string& file) {
  return std::string(OSTRIVEL_IMPACT_SOURCE_DIR) + "/" + file;
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
    results_.AddMethodList("sample", lines_);
    // The build ID tells ostrivel-report which list the program counts into.
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

  // Two tests: Price() three times (Twice() once of its own), and
  // Discount() twice.
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

  testing::TempDir dir_;
  LibraryResults results_;
  std::vector<std::string> lines_;
  std::string output_;
  std::string errors_;
};

TEST_F(ExportTest, Prints) {
  RunTwoTests();
  EXPECT_EQ(Export({"--format", "lcov", "--binary",
                    OSTRIVEL_IMPACT_SAMPLE_PATH}),
            0);
  std::cerr << output_ << "\n---\n" << errors_ << "\n";
  for (auto& l : lines_) std::cerr << l << "\n";
  EXPECT_EQ(Export({"--format", "json", "--binary",
                    OSTRIVEL_IMPACT_SAMPLE_PATH}),
            0);
  std::cerr << output_ << "\n---\n" << errors_ << "\n";
}

}  // namespace
}  // namespace ostrivel::report
