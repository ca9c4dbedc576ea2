#ifndef OSTRIVEL_RUNNER_TEST_LIST_H_
#define OSTRIVEL_RUNNER_TEST_LIST_H_

#include <string>
#include <vector>

// The test list of ostrivel-run: a text file with one test per line,
//
//   # comment
//   name<TAB>command line
//
// The name is the text before the first tab, the command (run with
// /bin/sh -c) everything after the tabs that follow it. Blank lines and lines
// whose first non-blank character is "#" are skipped; a CR before the line
// feed is dropped. Names must be unique and must not contain ";" (it would
// shift the result file's columns), "/" or "\" (the name becomes part of a
// trace file's name).

namespace ostrivel::runner {

struct TestCase {
  std::string name;
  std::string command;
  int line = 0;  // 1-based line in the list
};

struct TestList {
  std::vector<TestCase> tests;
  // One message per rejected line, "<path>:<line>: <reason>". A list with
  // errors must not be run.
  std::vector<std::string> errors;
};

// Parses the text of a test list; "path" only names it in the messages.
TestList ParseTestList(const std::string& text, const std::string& path);

// Reads and parses the file at "path". A file that cannot be read gives one
// error.
TestList ReadTestList(const std::string& path);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_TEST_LIST_H_
