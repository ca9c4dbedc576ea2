#ifndef OSTRIVEL_TOOLS_REPORT_QUERIES_H_
#define OSTRIVEL_TOOLS_REPORT_QUERIES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/report/collected_results.h"

namespace ostrivel::report {

// A method a test reaches, with its calls.
struct MethodCalls {
  std::uint32_t method = 0;  // position in the method list
  std::int64_t calls = 0;
};

// A test whose trace file shows calls of matching methods.
struct TestHits {
  std::string test;
  std::int64_t calls = 0;            // of all matching methods together
  std::vector<MethodCalls> methods;  // the matching methods it calls
};

struct TestsForAnswer {
  Collection collection;
  std::uint32_t application = 0;
  // The application's rows that could be used, whatever they call.
  std::size_t usableRows = 0;
  // In the order of the tests' rows in the result file.
  std::vector<TestHits> tests;
};

// The name people write for the method of the method-list line
// "ID;Method;Scope": "Scope::Method" ("shop::Cart::Add(int)"), or the method
// alone when its scope is empty; empty for a line without these fields.
std::string QualifiedMethodName(std::string_view line);

// The tests whose trace files for "application" show a call of a method
// whose method-list line or qualified name (QualifiedMethodName()) contains
// "pattern" (as bytes, or ignoring ASCII case). False with a message in
// "*error" when the results cannot be read or no method list names the
// application.
bool FindTestsFor(const Locations& locations, const std::string& application,
                  const std::string& pattern, bool ignoreCase,
                  TestsForAnswer* answer, std::string* error);

struct UncoveredAnswer {
  Collection collection;
  std::uint32_t application = 0;
  std::size_t usableRows = 0;
  // Positions of the methods no usable row covers, ascending.
  std::vector<std::uint32_t> methods;
};

// The methods of "application" that no test reaches.
bool FindUncovered(const Locations& locations, const std::string& application,
                   UncoveredAnswer* answer, std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_QUERIES_H_
