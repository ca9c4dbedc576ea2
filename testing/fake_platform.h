#ifndef OSTRIVEL_TESTING_FAKE_PLATFORM_H_
#define OSTRIVEL_TESTING_FAKE_PLATFORM_H_

#include <string>
#include <vector>

#include "platform/operations.h"

namespace ostrivel::testing {

// Replaces the user notification and the standard error stream by recorders
// for its lifetime; every other operation stays as it was.
class CapturedOutput {
 public:
  struct Warning {
    std::string caption;
    std::string text;
    bool operator==(const Warning&) const = default;
  };

  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  const std::vector<Warning>& warnings() const { return warnings_; }
  // Everything written to standard error, concatenated.
  const std::string& errors() const { return errors_; }

 private:
  std::vector<Warning> warnings_;
  std::string errors_;
  platform::Operations saved_;
};

}  // namespace ostrivel::testing

#endif  // OSTRIVEL_TESTING_FAKE_PLATFORM_H_
