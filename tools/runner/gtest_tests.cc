#include "tools/runner/gtest_tests.h"

#include <set>
#include <sstream>

#include "tools/process/child_process.h"

namespace ostrivel::runner {

using process::ShellQuoted;

namespace {

// The listing's "  # TypeParam = ..." and "  # GetParam() = ..." comments.
std::string WithoutComment(const std::string& line) {
  std::size_t comment = line.find("  # ");
  std::string text =
      comment == std::string::npos ? line : line.substr(0, comment);
  std::size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

}  // namespace

std::vector<std::string> ParseGtestListing(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream lines(text);
  std::string line;
  std::string suite;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ') {
      std::string test = WithoutComment(line.substr(2));
      if (!suite.empty() && !test.empty() &&
          test.find_first_of(" \t") == std::string::npos) {
        names.push_back(suite + test);
      }
      continue;
    }
    std::string candidate = WithoutComment(line);
    bool isSuite = candidate.size() > 1 && candidate.back() == '.' &&
                   candidate.front() != ' ' &&
                   candidate.find_first_of(" \t") == std::string::npos;
    suite = isSuite ? candidate : "";
  }
  return names;
}

bool IsDisabledTest(const std::string& name) {
  std::size_t dot = name.find('.');
  auto disabled = [](const std::string& part) {
    return part.rfind("DISABLED_", 0) == 0 ||
           part.find("/DISABLED_") != std::string::npos;
  };
  return disabled(name.substr(0, dot)) ||
         (dot != std::string::npos && disabled(name.substr(dot + 1)));
}

std::string GtestRowName(const std::string& name) {
  std::string row = name;
  for (char& c : row) {
    if (c == '/' || c == '\\' || c == ';') c = '_';
  }
  return row;
}

GtestList ListGtestTests(const std::string& program, const std::string& filter,
                         int timeoutSeconds) {
  GtestList result;
  std::string command = ShellQuoted(program) + " --gtest_list_tests";
  if (!filter.empty()) command += " " + ShellQuoted("--gtest_filter=" + filter);
  // Only the listing itself: what the program says on standard error (a
  // listener's warning, say) is no test.
  process::CommandOptions options;
  // A listing takes no time; one that never ends must not hold the run.
  options.timeoutMs = (timeoutSeconds > 0 ? timeoutSeconds : 600) * 1000;
  process::CommandResult listed =
      process::RunCommand(command + " 2>/dev/null", options);
  if (!listed.Passed()) {
    result.error = program + " --gtest_list_tests failed (" +
                   listed.Describe() + "): is it a GoogleTest program?";
    return result;
  }
  std::vector<std::string> names;
  for (const std::string& name : ParseGtestListing(listed.output)) {
    if (IsDisabledTest(name)) {
      ++result.disabled;
    } else {
      names.push_back(name);
    }
  }
  if (names.empty()) {
    result.error = program + " --gtest_list_tests lists no tests" +
                   (filter.empty() ? ": is it a GoogleTest program?"
                                   : " matching --gtest_filter=" + filter +
                                         " (is it a GoogleTest program?)");
    return result;
  }

  std::set<std::string> taken;
  int line = 0;
  for (const std::string& name : names) {
    std::string rowName = GtestRowName(name);
    for (int suffix = 2; taken.count(rowName) > 0; ++suffix) {
      rowName = GtestRowName(name) + "_" + std::to_string(suffix);
    }
    taken.insert(rowName);
    // GoogleTest's filter metacharacters (*?:-) cannot occur in a test's
    // name, so the name filters exactly this one test.
    result.list.tests.push_back(TestCase{
        rowName,
        ShellQuoted(program) + " " + ShellQuoted("--gtest_filter=" + name),
        ++line});
  }
  return result;
}

}  // namespace ostrivel::runner
