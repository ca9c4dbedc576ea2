#ifndef OSTRIVEL_RUNNER_SLOT_HARNESSES_H_
#define OSTRIVEL_RUNNER_SLOT_HARNESSES_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "ostrivel/harness_library.h"
#include "tools/runner/test_execution.h"
#include "tools/runner/test_list.h"

// Tests run side by side on the slots of a collection service. The
// library's state belongs to its process, so each slot is driven by a
// harness process of its own: a copy of this process, forked after the
// library was loaded and before anything initialised it, which calls Init
// with the slot's configuration and runs one test after another.

namespace ostrivel::runner {

struct SlotHarness {
  std::string name;        // for messages: "slot 1 (127.0.0.1:40123)"
  std::string configPath;  // the slot's port, log file and result file
  // The slot's own result file, named in its configuration: the rows of
  // each test are taken from it and handed back with the test.
  std::string resultPath;
  // The command options of the slot's tests: the counting variables of
  // the slot in the environment.
  ExecutionOptions options;
};

// Runs "tests" on "harnesses", a harness process per slot taking the next
// test whenever it has finished one. "finished" is called in this process
// for each test as it ends, in the order they end, with the rows the
// library wrote for it. A harness process that dies fails the test it was
// running, saying so; the tests after it go to the others, and when none
// is left, the tests not run fail. Returns when every test has ended and
// every harness process has called Close and ended (or was killed after
// ten seconds).
void RunOnSlots(
    HarnessLibrary& library, const std::vector<TestCase>& tests,
    const std::vector<SlotHarness>& harnesses,
    const std::function<void(std::size_t, TestExecution)>& finished);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_SLOT_HARNESSES_H_
