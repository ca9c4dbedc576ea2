#ifndef OSTRIVEL_RUNNER_GTEST_TESTS_H_
#define OSTRIVEL_RUNNER_GTEST_TESTS_H_

#include <string>
#include <vector>

#include "tools/runner/test_list.h"

// The tests of a GoogleTest program as a test list: one entry per test,
// each running the program alone on that test.

namespace ostrivel::runner {

// The full names ("Suite.Name", "Inst/Suite.Name/0") in the order of a
// --gtest_list_tests listing:
//
//   Suite.
//     Name
//   Inst/Typed/0.  # TypeParam = int
//     Name/1  # GetParam() = 4
//
// A suite line starts in the first column and ends in "." before its
// optional "  # ..." comment; a test line is indented two spaces. Other
// lines (what the program prints before its listing) are skipped, and the
// test lines after one of them are not taken for the previous suite's.
std::vector<std::string> ParseGtestListing(const std::string& text);

// The name a test's rows get: "name" with "/", "\" and ";" replaced by "_",
// as the GoogleTest listener names them.
std::string GtestRowName(const std::string& name);

// True for a test GoogleTest does not run unless asked to: its suite or
// its own name starts with "DISABLED_" (after an instantiation's "Inst/").
bool IsDisabledTest(const std::string& name);

struct GtestList {
  TestList list;      // each command: the program with --gtest_filter=<name>
  int disabled = 0;   // disabled tests listed, and left out of "list"
  std::string error;  // why nothing could be listed; empty when listed
};

// Lists the tests of the program at "program" (an existing path) with
// "--gtest_list_tests" and "filter" (when not empty) as its
// --gtest_filter. Rows are named by GtestRowName(); two tests whose row
// names meet get "_2", "_3" ... in listing order. Disabled tests are left
// out (IsDisabledTest). A program that fails to
// list (or takes longer than "timeoutSeconds", ten minutes when 0), or lists
// nothing but disabled tests, gives an error.
GtestList ListGtestTests(const std::string& program, const std::string& filter,
                         int timeoutSeconds);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_GTEST_TESTS_H_
