#include "harness/state.h"

namespace ostrivel::harness {
namespace {

// Constructed when the library is loaded, destroyed when it is unloaded.
ProcessState state;

}  // namespace

ProcessState& State() { return state; }

void ResetState() { state = ProcessState(); }

}  // namespace ostrivel::harness
