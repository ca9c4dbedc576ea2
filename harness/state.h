#ifndef OSTRIVEL_HARNESS_STATE_H_
#define OSTRIVEL_HARNESS_STATE_H_

#include <string>

#include "config/settings.h"
#include "coverage/evaluate.h"
#include "coverage/method_list.h"
#include "platform/operations.h"

// The process-wide state of the library: created at load with its initial
// values, destroyed at unload. Only the exported functions and the service
// link reach it; every other part is handed what it needs. Nothing here does
// any work at load beyond constructing plain values and handing the log its
// settings.

namespace ostrivel::harness {

using config::Settings;

// The connection to the service beside what the evaluation keeps between
// answers.
struct CollectorState : coverage::EvaluationState {
  bool connected = false;
  platform::Socket serviceSocket = platform::kNoSocket;
};

struct ProcessState {
  Settings settings;
  CollectorState collector;
  coverage::MethodLists methodLists;
};

// The one process-wide state. Its settings are the log's settings.
ProcessState& State();

// Puts every value back to its initial value, the log's settings included.
// For tests.
void ResetState();

}  // namespace ostrivel::harness

#endif  // OSTRIVEL_HARNESS_STATE_H_
