#ifndef OSTRIVEL_COVERAGE_DECODE_H_
#define OSTRIVEL_COVERAGE_DECODE_H_

#include <optional>
#include <string_view>

#include "coverage/message_content.h"

namespace ostrivel::coverage {

// Decodes one answer body of the collection service: a JSON object whose
// string member "timestamp" gives the time and whose optional member "data"
// maps application names to arrays of call counts. Names are byte strings
// (invalid UTF-8 is accepted) in which every CR and LF becomes "_"; within
// "data" (after that replacement) and at the top level the first member of a
// name wins; other members are ignored.
//
// Returns nothing, and the whole answer is refused, when the body is not one
// JSON object (bytes left over after it count as a fault), when it has no
// string "timestamp", when "data" is not an object whose members are arrays,
// or when a count is not an integer value within the signed 32-bit range
// (3.0 counts as 3). Never throws.
std::optional<MessageContent> DecodeMessage(std::string_view body);

}  // namespace ostrivel::coverage

#endif  // OSTRIVEL_COVERAGE_DECODE_H_
