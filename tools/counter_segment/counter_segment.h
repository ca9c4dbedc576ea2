#ifndef OSTRIVEL_TOOLS_COUNTER_SEGMENT_COUNTER_SEGMENT_H_
#define OSTRIVEL_TOOLS_COUNTER_SEGMENT_COUNTER_SEGMENT_H_

// The counter segments through which programs under test hand their call
// counts to the collection service.
//
// Transport: POSIX shared memory. The service creates one segment per
// application (shm_open + mmap); the probe inside each program under test
// maps it and increments a counter per method call with one atomic add.
// Nothing is buffered in the program: a count is in the segment as soon as
// the add returns, so a process that exits, or is killed, has every call up
// to that moment counted, and a running process is counted up to the moment
// the service reads the counters.
//
// Name: "/ostrivel." + uid + "." + channel + "." + application + "." + 16
// hex digits, where uid is the effective user id in decimal, channel and
// application keep [A-Za-z0-9_-] (every other byte becomes "_"; the channel
// is cut to 40 bytes, the application to 100) and the hex digits are the
// 64-bit FNV-1a hash of the exact bytes of the channel, one zero byte and the
// application. The hash keeps applications apart whose names differ only in
// replaced or cut bytes; the uid keeps the segments of users apart, so the
// service and the programs it counts run as one user.
//
// Trust: the namespace of shared memory is open to every local user, so a
// name proves nothing. A segment counts only when it belongs to this
// process's effective user and has mode 0600: then no other user (root
// aside) can read it, resize it or change its mode. Its size is read once,
// before mapping, and only that much is mapped. Shrinking the file
// afterwards would still make the next count fault (SIGBUS); only the owner
// can do that, and the owner can stop the program under test anyway.
//
// Layout (native byte order, one segment per application):
//   offset  0  uint64  magic "OSTRVCNT" (kSegmentMagic), written last
//   offset  8  uint32  layout version (kSegmentVersion)
//   offset 12  uint32  offset of the first counter (kCountersOffset)
//   offset 16  uint64  number of methods, n
//   offset 24  int64   process id of the service that owns the segment
//   offset 32  uint32  retired: set to 1 before the owner removes the segment
//   offset 64  n x std::atomic<uint64_t>, counter i for method line i
// The counters are lock-free and address-free, so processes that map the
// segment at different addresses share them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace ostrivel::tools {

inline constexpr std::uint64_t kSegmentMagic = 0x544E43565254534FULL;
inline constexpr std::uint32_t kSegmentVersion = 1;
inline constexpr std::size_t kCountersOffset = 64;

using Counter = std::atomic<std::uint64_t>;
static_assert(Counter::is_always_lock_free,
              "counters in shared memory must be lock-free");
static_assert(sizeof(Counter) == sizeof(std::uint64_t));

struct SegmentHeader {
  std::atomic<std::uint64_t> magic;
  std::uint32_t version;
  std::uint32_t countersOffset;
  std::uint64_t methodCount;
  std::int64_t ownerPid;
  std::atomic<std::uint32_t> retired;
  std::uint32_t reserved;
};
static_assert(sizeof(SegmentHeader) <= kCountersOffset);

// 64-bit FNV-1a of "bytes".
std::uint64_t Fnv1a64(std::string_view bytes);

// The shared-memory name of the segment of "application" on "channel" for
// the effective user of this process.
std::string SegmentName(std::string_view channel, std::string_view application);

// A mapping of a segment that this process opened but does not own. Plain
// data, so that the probe can keep it without destructors running at exit.
struct SegmentView {
  SegmentHeader* header = nullptr;
  Counter* counters = nullptr;
  std::uint64_t methodCount = 0;
  void* base = nullptr;
  std::size_t mappedSize = 0;
};

enum class OpenStatus {
  kOk,
  kMissing,  // no such segment, or it is not yet completely set up
  kInvalid,  // a file of that name that is no counter segment of ours
  kRefused,  // a file of that name that this user must not trust (see above)
};

// Maps the segment "name" for reading and writing. On kOk "*view" holds the
// mapping, which stays valid until UnmapSegment(), even after the owner
// removed the segment. On kRefused "*reason" (when given) says why, as the
// rest of a sentence about the segment ("has mode 0644, not 0600").
OpenStatus OpenSegment(const std::string& name, SegmentView* view,
                       std::string* reason = nullptr);

// Unmaps a view filled by OpenSegment(). Safe on an empty view.
void UnmapSegment(SegmentView* view);

// A segment created by this process, with mode 0600 whatever the umask.
// Creating it replaces a segment of the same name that a process of this
// user no longer running left behind, and never one of another user; the
// destructor marks the segment retired, removes its name and unmaps it.
class OwnedSegment {
 public:
  OwnedSegment() = default;
  ~OwnedSegment();
  OwnedSegment(OwnedSegment&& other) noexcept;
  OwnedSegment& operator=(OwnedSegment&& other) noexcept;
  OwnedSegment(const OwnedSegment&) = delete;
  OwnedSegment& operator=(const OwnedSegment&) = delete;

  // Creates the segment "name" with "methodCount" zeroed counters. Returns
  // false and a message in "*error" when the name is taken by another user
  // or by a running process, or the system refuses; "*note" receives a
  // message when a stale segment was replaced (left empty otherwise).
  bool Create(const std::string& name, std::uint64_t methodCount,
              std::string* error, std::string* note);

  bool IsOpen() const { return view_.base != nullptr; }
  const std::string& name() const { return name_; }
  std::uint64_t methodCount() const { return view_.methodCount; }
  Counter& counter(std::uint64_t index) { return view_.counters[index]; }

  // Sets every counter to zero.
  void Reset();
  // Counter "index", clamped to the largest signed 32-bit value. Inline:
  // an answer reads every counter of every application.
  std::int32_t ClampedCount(std::uint64_t index) const {
    std::uint64_t count = view_.counters[index].load(std::memory_order_relaxed);
    constexpr auto kMax =
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(count < kMax ? count : kMax);
  }

  // Retires, removes and unmaps the segment now. Safe when not open.
  void Remove();

 private:
  std::string name_;
  SegmentView view_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

}  // namespace ostrivel::tools

#endif  // OSTRIVEL_TOOLS_COUNTER_SEGMENT_COUNTER_SEGMENT_H_
