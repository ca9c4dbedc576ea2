#ifndef OSTRIVEL_TOOLS_PROBE_ATTACHMENTS_H_
#define OSTRIVEL_TOOLS_PROBE_ATTACHMENTS_H_

#include <atomic>
#include <cstdint>

#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::probe {

// One mapping of a segment, and the mapping it replaced (kept reachable).
struct ViewNode {
  tools::SegmentView view;
  ViewNode* previous;
};

// The mapping of one application's counter segment in this process.
// Attachments and their views are never freed or unmapped: another thread
// may still be counting through one, and the process ends soon enough.
struct Attachment {
  const char* application;
  // Nothing until a segment has been found.
  std::atomic<ViewNode*> view;
  // While there is no segment to count into: when it may next be looked up
  // (CLOCK_MONOTONIC nanoseconds).
  std::atomic<std::int64_t> nextLookupNs;
  // Set once the refusal of a segment has been written to standard error.
  std::atomic<bool> refusalTold;
};

// The attachment of "application", created at the first use of the name.
// Nothing only when the table of attachments is full or memory runs out.
// Lock-free once the name is known.
Attachment* Attach(const char* application);

enum class Lookup {
  kRateLimited,  // at most once a second, so that missing segments stay cheap
  kNow,
};

// The view to count through when the current one is missing or retired:
// the segment found by a new lookup (made as "lookup" allows). Nothing when
// there is none. A segment that must not be trusted is not mapped, and its
// refusal is written to standard error once per application.
tools::SegmentView* LookUpView(Attachment* attachment, Lookup lookup);

// The view to count through: the current one, or, when there is none yet or
// its segment was retired by a service that stopped, LookUpView()'s. Inline,
// as it runs on every counted call.
inline tools::SegmentView* CurrentView(Attachment* attachment, Lookup lookup) {
  ViewNode* node = attachment->view.load(std::memory_order_acquire);
  if (node != nullptr &&
      node->view.header->retired.load(std::memory_order_acquire) == 0) {
    return &node->view;
  }
  return LookUpView(attachment, lookup);
}

// The channel from OSTRIVEL_CHANNEL, "default" when unset; read once.
const char* Channel();

// Whether any counter segment of this user on Channel() exists: a service
// counts on the channel, so a coverage run is going on.
bool AnySegmentOnChannel();

// Writes "text" to standard error, unbuffered.
void WriteWarning(const char* text);

}  // namespace ostrivel::probe

#endif  // OSTRIVEL_TOOLS_PROBE_ATTACHMENTS_H_
