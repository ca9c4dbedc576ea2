#ifndef OSTRIVEL_TESTING_LOG_CAPTURE_H_
#define OSTRIVEL_TESTING_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "config/settings.h"
#include "coverage/method_list.h"
#include "testing/temp_dir.h"

namespace ostrivel::testing {

// Resets the process-wide state and points the log, the result file, the
// methods directory and the base location into a fresh temporary directory.
// The state is reset again when this object goes away.
class TestEnvironment {
 public:
  // "logLevel" is the threshold in force (0 debug, 1 simple, 2 error).
  explicit TestEnvironment(int logLevel = 0);
  ~TestEnvironment();
  TestEnvironment(const TestEnvironment&) = delete;
  TestEnvironment& operator=(const TestEnvironment&) = delete;

  const TempDir& dir() const { return dir_; }
  // The process-wide settings and method lists: the log follows these
  // settings.
  config::Settings& settings() const;
  coverage::MethodLists& methodLists() const;
  std::string logPath() const { return dir_.File("log.txt"); }
  std::string resultPath() const { return dir_.File("result.csv"); }
  // The methods directory, with a trailing "/"; created empty.
  std::string methodsPath() const { return dir_.File("methods/"); }

  // The log lines so far, each without its "[timestamp LEVEL]  " prefix
  // but with the level word kept as "LEVEL|message" ("DEBUG|", "SIMPLE|",
  // "ERROR|"). A message that spans several lines gives continuation lines
  // as they stand.
  std::vector<std::string> LogLines() const;
  // The messages only, without their level.
  std::vector<std::string> LogMessages() const;
  // The raw bytes of the log file ("<missing>" when there is none).
  std::string RawLog() const;

 private:
  TempDir dir_;
};

}  // namespace ostrivel::testing

#endif  // OSTRIVEL_TESTING_LOG_CAPTURE_H_
