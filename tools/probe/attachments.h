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
  std::atomic<ViewNode*> view;
  // For the automatic counting: when a retired segment may next be looked
  // up again (CLOCK_MONOTONIC nanoseconds).
  std::atomic<std::int64_t> nextLookupNs;
};

// The attachment of "application", mapping its segment when this process
// has not yet done so. Nothing when there is no segment. Lock-free once the
// application is attached.
Attachment* Attach(const char* application);

// The view to count through: the current one, or, when its segment was
// retired by a service that stopped, the segment that replaced it. Nothing
// when there is none. With "rateLimited", a retired segment is looked up at
// most once a second (for callers that must stay cheap).
tools::SegmentView* CurrentView(Attachment* attachment, bool rateLimited);

// The channel from OSTRIVEL_CHANNEL, "default" when unset; read once.
const char* Channel();

// Writes "text" to standard error, unbuffered.
void WriteWarning(const char* text);

}  // namespace ostrivel::probe

#endif  // OSTRIVEL_TOOLS_PROBE_ATTACHMENTS_H_
