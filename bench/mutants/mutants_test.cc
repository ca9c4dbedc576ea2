// The mutant generator of scripts/bench-impact, run as the benchmark runs
// it: each diff it writes must apply with patch and change one line of one
// function body, and nothing else.

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "tools/process/child_process.h"

namespace ostrivel {
namespace {

using process::CommandResult;
using process::RunCommand;
using testing::ReadFile;
using testing::SplitLines;
using testing::TempDir;
using testing::WriteFile;

// Operators, numbers and a call in places that are no function body
// (comments, a string, initialisers, a declaration, a class), beside two
// functions whose bodies hold one of each kind.
constexpr char kFixture[] =
    "// 1 + 2 < 3 in a comment; Log(text);\n"            // 1
    "#include <string>\n"                                // 2
    "\n"                                                 // 3
    "namespace demo {\n"                                 // 4
    "\n"                                                 // 5
    "constexpr int kLimit = 10;\n"                       // 6
    "int table[] = {1 + 2, 3};\n"                        // 7
    "void Log(const char* text);\n"                      // 8
    "\n"                                                 // 9
    "int Twice(int value) { return value * 2; }\n"       // 10
    "\n"                                                 // 11
    "namespace {\n"                                      // 12
    "\n"                                                 // 13
    "bool Above(int value,\n"                            // 14
    "           int limit) {\n"                          // 15
    "  /* 7 > 8 */ const char* text = \"a + b < 4\";\n"  // 16
    "  Log(text);\n"                                     // 17
    "  return value > limit + 1;\n"                      // 18
    "}\n"                                                // 19
    "\n"                                                 // 20
    "}  // namespace\n"                                  // 21
    "\n"                                                 // 22
    "struct Box {\n"                                     // 23
    "  int size = 3 * 4;\n"                              // 24
    "};\n"                                               // 25
    "\n"                                                 // 26
    "}  // namespace demo\n";                            // 27

class MutantsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        RunCommand("mkdir -p '" + dir_.File("src/demo") + "'", {}).Passed());
    WriteFile(dir_.File("src/demo/fixture.cc"), kFixture);
  }

  // Runs the generator over "files" of "root" into "out"; its listing.
  std::string Generate(const std::string& root, const std::string& out,
                       const std::string& options, const std::string& files) {
    CommandResult result =
        RunCommand(std::string(OSTRIVEL_MUTANTS_PATH) + " --root '" + root +
                       "' --out '" + out + "' " + options + " " + files,
                   {});
    EXPECT_TRUE(result.Passed()) << result.Describe() << ": " << result.output;
    return result.output;
  }

  // The diffs a listing names, read from "out".
  std::vector<std::string> Diffs(const std::string& listing,
                                 const std::string& out) {
    std::vector<std::string> diffs;
    for (const std::string& line : SplitLines(listing)) {
      diffs.push_back(
          ReadFile(out + "/" + line.substr(0, line.find('\t')) + ".diff"));
    }
    return diffs;
  }

  // Applies "diff" to a fresh copy of the fixture with patch -p1 and returns
  // the changed line as "LINE: new text" ("LINE: removed").
  std::string Change(const std::string& diff) {
    std::string copy = dir_.File("copy" + std::to_string(++copies_));
    WriteFile(dir_.File("change.diff"), diff);
    CommandResult applied =
        RunCommand("mkdir -p '" + copy + "/demo' && cp '" +
                       dir_.File("src/demo/fixture.cc") + "' '" + copy +
                       "/demo/' && patch -s -p1 -d '" + copy + "' < '" +
                       dir_.File("change.diff") + "'",
                   {});
    if (!applied.Passed()) return "does not apply: " + applied.output;
    std::vector<std::string> before = SplitLines(kFixture);
    std::vector<std::string> after =
        SplitLines(ReadFile(copy + "/demo/fixture.cc"));
    std::size_t n = 0;
    while (n < before.size() && n < after.size() && before[n] == after[n]) ++n;
    if (after.size() + 1 == before.size()) {
      std::vector<std::string> expected = before;
      expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(n));
      return expected == after ? std::to_string(n + 1) + ": removed"
                               : "more than one line changed";
    }
    if (after.size() != before.size() || n == before.size()) {
      return "not one line changed";
    }
    std::vector<std::string> expected = before;
    expected[n] = after[n];
    return expected == after ? std::to_string(n + 1) + ": " + after[n]
                             : "more than one line changed";
  }

  TempDir dir_;
  int copies_ = 0;
};

TEST_F(MutantsTest, ChangesOneBodyLineOfEachKindAndNothingOutsideBodies) {
  std::string listing = Generate(dir_.File("src"), dir_.File("out"),
                                 "--count 0", "demo/fixture.cc");
  EXPECT_EQ(listing,
            "mutant-001\tdemo/fixture.cc:10\tconstant\tTwice\n"
            "mutant-002\tdemo/fixture.cc:10\tarithmetic\tTwice\n"
            "mutant-003\tdemo/fixture.cc:17\tcall\tAbove\n"
            "mutant-004\tdemo/fixture.cc:18\tconstant\tAbove\n"
            "mutant-005\tdemo/fixture.cc:18\tcomparison\tAbove\n"
            "mutant-006\tdemo/fixture.cc:18\tarithmetic\tAbove\n");
  std::vector<std::string> changes;
  for (const std::string& diff : Diffs(listing, dir_.File("out"))) {
    changes.push_back(Change(diff));
  }
  EXPECT_THAT(changes, ::testing::ElementsAre(
                           "10: int Twice(int value) { return value * 3; }",
                           "10: int Twice(int value) { return value / 2; }",
                           "17: removed", "18:   return value > limit + 2;",
                           "18:   return value <= limit + 1;",
                           "18:   return value > limit - 1;"));
}

TEST_F(MutantsTest, TheSameSeedGivesTheSameMutants) {
  std::string first = Generate(dir_.File("src"), dir_.File("first"),
                               "--seed 7 --count 3", "demo/fixture.cc");
  std::string again = Generate(dir_.File("src"), dir_.File("again"),
                               "--seed 7 --count 3", "demo/fixture.cc");
  std::string other = Generate(dir_.File("src"), dir_.File("other"),
                               "--seed 8 --count 3", "demo/fixture.cc");
  EXPECT_EQ(SplitLines(first).size(), 3u);
  EXPECT_EQ(first, again);
  EXPECT_EQ(Diffs(first, dir_.File("first")), Diffs(again, dir_.File("again")));
  EXPECT_NE(first, other);
}

// The sample shop's pricing, as the benchmark mutates it: distinct diffs
// that each apply to the sources as they are.
TEST_F(MutantsTest, SampleSourceGivesDistinctApplicableDiffs) {
  std::string listing = Generate(OSTRIVEL_SOURCE_DIR, dir_.File("out"),
                                 "--count 0", "examples/shop/pricing.cc");
  std::vector<std::string> diffs = Diffs(listing, dir_.File("out"));
  EXPECT_GE(diffs.size(), 20u) << listing;
  EXPECT_EQ(std::set<std::string>(diffs.begin(), diffs.end()).size(),
            diffs.size());
  for (std::size_t i = 0; i < diffs.size(); ++i) {
    WriteFile(dir_.File("one.diff"), diffs[i]);
    CommandResult dryRun = RunCommand(
        std::string("patch --dry-run -s -p1 -d '") + OSTRIVEL_SOURCE_DIR +
            "' < '" + dir_.File("one.diff") + "'",
        {});
    EXPECT_TRUE(dryRun.Passed()) << SplitLines(listing)[i] << "\n"
                                 << diffs[i] << dryRun.output;
  }
}

TEST_F(MutantsTest, RefusesWhatItCannotRead) {
  CommandResult missing = RunCommand(
      std::string(OSTRIVEL_MUTANTS_PATH) + " --root '" + dir_.File("src") +
          "' --out '" + dir_.File("out") + "' demo/absent.cc",
      {});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_THAT(missing.output, ::testing::HasSubstr("cannot read"));
  CommandResult usage =
      RunCommand(std::string(OSTRIVEL_MUTANTS_PATH) + " --count x", {});
  EXPECT_EQ(usage.exitCode, 2);
}

}  // namespace
}  // namespace ostrivel
