#ifndef OSTRIVEL_HARNESS_STATE_H_
#define OSTRIVEL_HARNESS_STATE_H_

#include <cstdint>
#include <string>

#include "coverage/method_list.h"
#include "platform/operations.h"

// The process-wide state of the library: created at load with its initial
// values, destroyed at unload, shared by every subsystem. Nothing here does
// any work at load beyond constructing plain values.

namespace ostrivel::harness {

// The built-in base of every default path.
inline constexpr const char* kDefaultBase = "C:/Coverage/";

// The configuration values. Names follow the configuration keys.
struct Settings {
  std::string base_location = kDefaultBase;
  // Joined once from the default base; they do not follow base_location.
  std::string log_location = std::string(kDefaultBase) + "log.txt";
  std::string res_location = std::string(kDefaultBase) + "result.csv";
  std::string methods_location = std::string(kDefaultBase) + "methods/";
  std::string host_name = "localhost";
  std::int32_t port = 8182;
  std::int32_t log_level = 1;
  std::string methods;  // read by nothing
  // Opt-in time-outs in milliseconds; 0 waits without limit.
  std::int32_t connect_timeout_ms = 0;
  std::int32_t receive_timeout_ms = 0;
};

// The connection and test state.
struct CollectorState {
  bool connected = false;
  platform::Socket serviceSocket = platform::kNoSocket;
  std::string testName;
  bool resultFileExists = false;
  // The result file ends in part of a row that could not be removed: the
  // next row starts with a line end.
  bool resultLineOpen = false;
  std::int64_t testStartTime = 0;  // ms since the epoch
  std::int64_t testEndTime = 0;    // ms since the epoch
  std::string trace_location;
};

struct ProcessState {
  Settings settings;
  CollectorState collector;
  coverage::MethodLists methodLists;
};

// The one process-wide state.
ProcessState& State();

// Puts every value back to its initial value. For tests.
void ResetState();

}  // namespace ostrivel::harness

#endif  // OSTRIVEL_HARNESS_STATE_H_
