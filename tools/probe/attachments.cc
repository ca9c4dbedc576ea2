#include "tools/probe/attachments.h"

#include <dirent.h>
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace ostrivel::probe {
namespace {

constexpr int kMaxAttachments = 256;
constexpr std::int64_t kLookupIntervalNs = 1000000000;

// Published slots: a reader takes the count, then every slot below it.
std::atomic<Attachment*> gSlots[kMaxAttachments];
std::atomic<int> gSlotCount{0};
// Serialises attaching and re-attaching; counting never takes it.
std::mutex gMutex;
std::atomic<const char*> gChannel{nullptr};

Attachment* Find(const char* application) {
  int count = gSlotCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    Attachment* slot = gSlots[i].load(std::memory_order_acquire);
    if (std::strcmp(slot->application, application) == 0) return slot;
  }
  return nullptr;
}

ViewNode* OpenView(Attachment* attachment, ViewNode* previous) {
  std::string name = tools::SegmentName(Channel(), attachment->application);
  tools::SegmentView view;
  std::string reason;
  tools::OpenStatus status = tools::OpenSegment(name, &view, &reason);
  if (status == tools::OpenStatus::kRefused &&
      !attachment->refusalTold.exchange(true)) {
    WriteWarning(("ostrivel-probe: not counting for \"" +
                  std::string(attachment->application) +
                  "\": the counter segment \"" + name + "\" " + reason + "\n")
                     .c_str());
  }
  if (status != tools::OpenStatus::kOk) return nullptr;
  return new ViewNode{view, previous};
}

bool Current(const ViewNode* node) {
  return node != nullptr &&
         node->view.header->retired.load(std::memory_order_acquire) == 0;
}

std::int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

const char* Channel() {
  const char* channel = gChannel.load(std::memory_order_acquire);
  if (channel != nullptr) return channel;
  const char* fromEnvironment = std::getenv("OSTRIVEL_CHANNEL");
  const char* chosen = ::strdup(
      fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                             : "default");
  if (chosen == nullptr) return "default";
  const char* expected = nullptr;
  if (!gChannel.compare_exchange_strong(expected, chosen)) {
    std::free(const_cast<char*>(chosen));
    return expected;
  }
  return chosen;
}

Attachment* Attach(const char* application) {
  if (Attachment* found = Find(application)) return found;
  std::lock_guard<std::mutex> lock(gMutex);
  if (Attachment* found = Find(application)) return found;
  int count = gSlotCount.load(std::memory_order_relaxed);
  if (count == kMaxAttachments) return nullptr;
  char* name = ::strdup(application);
  if (name == nullptr) return nullptr;
  auto* attachment = new Attachment{name, {nullptr}, {0}, {false}};
  gSlots[count].store(attachment, std::memory_order_release);
  gSlotCount.store(count + 1, std::memory_order_release);
  return attachment;
}

tools::SegmentView* LookUpView(Attachment* attachment, Lookup lookup) {
  // A failed shm_open costs tens of microseconds; a program that counts
  // without a service must not pay that on every call, so after a failed
  // lookup the next waits a second. A lookup in progress is waited for
  // instead: its segment may well be there, and calls made meanwhile must
  // not be lost.
  auto recentlyFailed = [attachment] {
    return NowNs() < attachment->nextLookupNs.load(std::memory_order_relaxed);
  };
  if (lookup == Lookup::kRateLimited && recentlyFailed()) return nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  // Another thread may have found the segment while this one waited.
  ViewNode* node = attachment->view.load(std::memory_order_acquire);
  if (Current(node)) return &node->view;
  if (lookup == Lookup::kRateLimited && recentlyFailed()) return nullptr;
  // The old mapping stays: a thread may be counting through it right now.
  ViewNode* successor = nullptr;
  try {
    successor = OpenView(attachment, node);
  } catch (...) {
    // Out of memory: counting stays off until a later lookup succeeds.
  }
  if (successor == nullptr) {
    attachment->nextLookupNs.store(NowNs() + kLookupIntervalNs,
                                   std::memory_order_relaxed);
    return nullptr;
  }
  attachment->view.store(successor, std::memory_order_release);
  return &successor->view;
}

bool AnySegmentOnChannel() {
  // The segments' names end in ".<16 hex digits>" after the application;
  // with an empty application what is left is the channel's prefix.
  std::string prefix = tools::SegmentName(Channel(), "");
  prefix = prefix.substr(1, prefix.size() - 18);
  // POSIX shared memory objects are the files of /dev/shm on Linux.
  DIR* directory = ::opendir("/dev/shm");
  if (directory == nullptr) return false;
  bool found = false;
  while (dirent* entry = ::readdir(directory)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      found = true;
      break;
    }
  }
  ::closedir(directory);
  return found;
}

void WriteWarning(const char* text) {
  std::size_t size = std::strlen(text);
  while (size > 0) {
    ssize_t written = ::write(2, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace ostrivel::probe
