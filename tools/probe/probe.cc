// The C interface of the probe.

#include "ostrivel/probe.h"

#include "tools/probe/attachments.h"

namespace ostrivel::probe {
namespace {

int Add(const char* application, unsigned methodIndex,
        unsigned long long calls) {
  if (application == nullptr) return OSTRIVEL_PROBE_BAD_ARGUMENT;
  try {
    Attachment* attachment = Attach(application);
    if (attachment == nullptr) return OSTRIVEL_PROBE_NO_SEGMENT;
    tools::SegmentView* view = CurrentView(attachment, Lookup::kRateLimited);
    if (view == nullptr) return OSTRIVEL_PROBE_NO_SEGMENT;
    if (methodIndex >= view->methodCount) return OSTRIVEL_PROBE_OUT_OF_RANGE;
    view->counters[methodIndex].fetch_add(calls, std::memory_order_relaxed);
    return OSTRIVEL_PROBE_OK;
  } catch (...) {
    // Out of memory while attaching: the program under test goes on.
    return OSTRIVEL_PROBE_NO_SEGMENT;
  }
}

}  // namespace
}  // namespace ostrivel::probe

extern "C" {

int ostrivel_probe_count(const char* application, unsigned method_index) {
  return ostrivel::probe::Add(application, method_index, 1);
}

int ostrivel_probe_add(const char* application, unsigned method_index,
                       unsigned long long calls) {
  return ostrivel::probe::Add(application, method_index, calls);
}

int ostrivel_probe_attach(const char* application) {
  if (application == nullptr) return OSTRIVEL_PROBE_BAD_ARGUMENT;
  try {
    ostrivel::probe::Attachment* attachment =
        ostrivel::probe::Attach(application);
    if (attachment == nullptr ||
        ostrivel::probe::CurrentView(
            attachment, ostrivel::probe::Lookup::kNow) == nullptr) {
      return OSTRIVEL_PROBE_NO_SEGMENT;
    }
    return OSTRIVEL_PROBE_OK;
  } catch (...) {
    return OSTRIVEL_PROBE_NO_SEGMENT;
  }
}

long long ostrivel_probe_method_count(const char* application) {
  if (application == nullptr) return -1;
  try {
    ostrivel::probe::Attachment* attachment =
        ostrivel::probe::Attach(application);
    if (attachment == nullptr) return -1;
    ostrivel::tools::SegmentView* view = ostrivel::probe::CurrentView(
        attachment, ostrivel::probe::Lookup::kRateLimited);
    return view == nullptr ? -1 : static_cast<long long>(view->methodCount);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
