#ifndef OSTRIVEL_COVERAGE_MESSAGE_CONTENT_H_
#define OSTRIVEL_COVERAGE_MESSAGE_CONTENT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrivel::coverage {

// The call counts of one application: element i belongs to the method at
// position i of the application's method list.
using CoverageVector = std::vector<std::int32_t>;

// One decoded answer of the collection service.
struct MessageContent {
  // The answer's "timestamp" text, "year.month.day hour:minute:second.ms".
  std::string timestamp;
  // The call counts by application name, ordered byte by byte.
  std::map<std::string, CoverageVector> data;
  // True when the answer carries a "data" member (the answer to "ASK").
  bool hasData = false;
};

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_MESSAGE_CONTENT_H_
