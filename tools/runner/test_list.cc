#include "tools/runner/test_list.h"

#include <fstream>
#include <set>
#include <sstream>

namespace ostrivel::runner {

namespace {

constexpr const char* kBlanks = " \t";

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(kBlanks);
  return text.substr(begin, end - begin + 1);
}

}  // namespace

TestList ParseTestList(const std::string& text, const std::string& path) {
  TestList list;
  std::set<std::string> names;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;

    auto reject = [&](const std::string& reason) {
      std::string message = path;
      message.append(":").append(std::to_string(number)).append(": ");
      list.errors.push_back(message.append(reason));
    };
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      reject("expected a test name, a tab and a command");
      continue;
    }
    TestCase test;
    test.name = TrimBlanks(line.substr(0, tab));
    test.command = TrimBlanks(line.substr(tab));
    test.line = number;
    if (test.name.empty()) {
      reject("the test name is empty");
    } else if (test.name.find_first_of(";/\\") != std::string::npos) {
      reject("the test name \"" + test.name +
             "\" contains \";\", \"/\" or \"\\\"");
    } else if (test.command.empty()) {
      reject("the test \"" + test.name + "\" has no command");
    } else if (!names.insert(test.name).second) {
      reject("the test name \"" + test.name + "\" is used twice");
    } else {
      list.tests.push_back(std::move(test));
    }
  }
  return list;
}

TestList ReadTestList(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    TestList list;
    list.errors.push_back(path + ": cannot be read");
    return list;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseTestList(text.str(), path);
}

}  // namespace ostrivel::runner
