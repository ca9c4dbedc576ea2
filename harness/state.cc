#include "harness/state.h"

#include "log/log.h"

namespace ostrivel::harness {
namespace {

// Constructed when the library is loaded, destroyed when it is unloaded.
ProcessState state;

// From the first message on, the log follows the configuration; assignments
// to "state" keep its address, so this holds for the life of the library.
[[maybe_unused]] const bool logFollowsSettings =
    (log::UseSettings(&state.settings), true);

}  // namespace

ProcessState& State() { return state; }

void ResetState() {
  state = ProcessState();
  log::UseSettings(&state.settings);
}

}  // namespace ostrivel::harness
