#ifndef OSTRIVEL_RUNNER_SLOT_PLAN_H_
#define OSTRIVEL_RUNNER_SLOT_PLAN_H_

#include <string>
#include <vector>

#include "tools/runner/slot_harnesses.h"
#include "tools/slots/slots.h"

// How ostrivel-run --jobs lays a run out over the slots of a service.

namespace ostrivel::runner {

struct SlotPlanInput {
  std::vector<slots::Slot> slots;  // those to use, from slot 0 on
  std::string configPath;          // the run's configuration
  std::string channel;             // the service's channel
  // The variables the run gives every command; OSTRIVEL_CHANNEL and
  // LLVM_PROFILE_FILE among them (or else in this process's environment)
  // are moved to each slot's channel.
  slots::Environment environment;
  ExecutionOptions options;  // per command
  std::string folder;        // an empty private directory for the slots' files
};

// One harness per slot: its configuration in "folder" (the run's, with the
// slot's host and port, its log beside the run's log as
// slots::SlotLogPath names it, and a result file of its own in "folder",
// created with the header so that the library writes none there), and
// the environment with the slot's counting variables. Returns false with a
// message when a slot's variables or files cannot be made.
bool PlanSlots(const SlotPlanInput& input, std::vector<SlotHarness>* harnesses,
               std::string* error);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_SLOT_PLAN_H_
