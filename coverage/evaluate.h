#ifndef OSTRIVEL_COVERAGE_EVALUATE_H_
#define OSTRIVEL_COVERAGE_EVALUATE_H_

#include <string>

namespace ostrivel::coverage {

// Turns one answer body of the collection service into results: an answer
// without "data" stores its time as the start of the test; an answer with
// "data" stores the end and writes a result row, a log line and a trace
// file per application. A body that cannot be decoded is logged and changes
// nothing.
void Evaluate(std::string body);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_EVALUATE_H_
