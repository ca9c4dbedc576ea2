#include "tools/counter_segment/counter_segment.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace ostrivel::tools {
namespace {

constexpr std::size_t kMaxChannelPart = 40;
constexpr std::size_t kMaxApplicationPart = 100;

void AppendSanitized(std::string_view text, std::size_t limit,
                     std::string* out) {
  std::size_t taken = 0;
  for (char c : text) {
    if (taken == limit) break;
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                (c >= '0' && c <= '9') || c == '_' || c == '-';
    out->push_back(keep ? c : '_');
    ++taken;
  }
}

std::string SystemError(int error) { return std::strerror(error); }

std::string UserText(uid_t user) {
  return "uid " + std::to_string(static_cast<unsigned long>(user));
}

// Why a segment described by "info" must not be trusted; empty when it may.
// Checked on the open descriptor, so the answer is about the very file that
// gets mapped; once it holds, only its owner could change it.
std::string Distrust(const struct stat& info) {
  uid_t self = ::geteuid();
  if (info.st_uid != self) {
    return "belongs to another user (" + UserText(info.st_uid) +
           "), not to this process's user (" + UserText(self) + ")";
  }
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  auto mode = static_cast<unsigned>(info.st_mode & 07777);
  if (mode != 0600) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return std::string("has mode ") + text + ", not 0600";
  }
  return {};
}

// The owner of the existing segment "name". False with the system's error
// in "*failure" when it cannot be told.
bool ExistingOwner(const std::string& name, uid_t* owner, int* failure) {
  struct stat info {};
  // O_NONBLOCK: a FIFO put under the name must not stall the service.
  int fd = ::shm_open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd >= 0) {
    bool known = ::fstat(fd, &info) == 0;
    *failure = errno;
    ::close(fd);
    if (known) *owner = info.st_uid;
    return known;
  }
  *failure = errno;
  // A segment of another user is usually closed to us. Where shared memory
  // is a file system (Linux), its owner can still be read from its entry.
  if (::stat(("/dev/shm" + name).c_str(), &info) == 0) {
    *owner = info.st_uid;
    return true;
  }
  return false;
}

// A process that exists, even one we may not signal, holds its segments.
bool ProcessRuns(pid_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The owner recorded in the segment "name", or 0 when the segment is not
// one of ours or not completely set up.
pid_t RecordedOwner(const std::string& name) {
  SegmentView view;
  if (OpenSegment(name, &view) != OpenStatus::kOk) return 0;
  auto owner = static_cast<pid_t>(view.header->ownerPid);
  UnmapSegment(&view);
  return owner;
}

}  // namespace

std::uint64_t Fnv1a64(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string SegmentName(std::string_view channel,
                        std::string_view application) {
  std::string name = "/ostrivel." +
                     std::to_string(static_cast<unsigned long>(::geteuid())) +
                     ".";
  AppendSanitized(channel, kMaxChannelPart, &name);
  name += '.';
  AppendSanitized(application, kMaxApplicationPart, &name);
  std::string key(channel);
  key.push_back('\0');
  key.append(application);
  char hex[20];
  std::snprintf(hex, sizeof hex, ".%016llx",
                static_cast<unsigned long long>(Fnv1a64(key)));
  name += hex;
  return name;
}

OpenStatus OpenSegment(const std::string& name, SegmentView* view,
                       std::string* reason) {
  *view = SegmentView{};
  int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) return OpenStatus::kMissing;
    if (errno != EACCES && errno != EPERM) return OpenStatus::kInvalid;
    if (reason != nullptr) *reason = "cannot be opened: " + SystemError(errno);
    return OpenStatus::kRefused;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return OpenStatus::kInvalid;
  }
  std::string distrust = Distrust(info);
  if (!distrust.empty()) {
    ::close(fd);
    if (reason != nullptr) *reason = std::move(distrust);
    return OpenStatus::kRefused;
  }
  auto size = static_cast<std::size_t>(info.st_size);
  if (size < kCountersOffset) {
    // The owner has not sized it yet.
    ::close(fd);
    return OpenStatus::kMissing;
  }
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (base == MAP_FAILED) return OpenStatus::kInvalid;
  auto* header = static_cast<SegmentHeader*>(base);
  std::uint64_t magic = header->magic.load(std::memory_order_acquire);
  OpenStatus status = OpenStatus::kOk;
  if (magic == 0) {
    status = OpenStatus::kMissing;  // still being set up
  } else if (magic != kSegmentMagic || header->version != kSegmentVersion ||
             header->countersOffset != kCountersOffset ||
             header->methodCount > (size - kCountersOffset) / sizeof(Counter)) {
    status = OpenStatus::kInvalid;
  }
  if (status != OpenStatus::kOk) {
    ::munmap(base, size);
    return status;
  }
  view->header = header;
  view->counters =
      reinterpret_cast<Counter*>(static_cast<char*>(base) + kCountersOffset);
  view->methodCount = header->methodCount;
  view->base = base;
  view->mappedSize = size;
  return OpenStatus::kOk;
}

void UnmapSegment(SegmentView* view) {
  if (view->base != nullptr) ::munmap(view->base, view->mappedSize);
  *view = SegmentView{};
}

OwnedSegment::~OwnedSegment() { Remove(); }

OwnedSegment::OwnedSegment(OwnedSegment&& other) noexcept
    : name_(std::move(other.name_)),
      view_(std::exchange(other.view_, SegmentView{})),
      device_(other.device_),
      inode_(other.inode_) {}

OwnedSegment& OwnedSegment::operator=(OwnedSegment&& other) noexcept {
  if (this != &other) {
    Remove();
    name_ = std::move(other.name_);
    view_ = std::exchange(other.view_, SegmentView{});
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

bool OwnedSegment::Create(const std::string& name, std::uint64_t methodCount,
                          std::string* error, std::string* note) {
  Remove();
  note->clear();
  if (methodCount >
      (std::numeric_limits<std::size_t>::max() - kCountersOffset) /
          sizeof(Counter)) {
    *error = "too many methods for one segment";
    return false;
  }
  std::size_t size = kCountersOffset + methodCount * sizeof(Counter);
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST || attempt == 2) {
      *error = "cannot create the shared memory segment \"" + name +
               "\": " + SystemError(errno);
      return false;
    }
    uid_t user = 0;
    int failure = 0;
    if (!ExistingOwner(name, &user, &failure)) {
      if (failure == ENOENT) continue;  // gone meanwhile
      *error = "the shared memory segment \"" + name +
               "\" exists and cannot be examined: " + SystemError(failure) +
               "; have it removed or choose another channel";
      return false;
    }
    if (user != ::geteuid()) {
      *error = "the shared memory segment \"" + name +
               "\" belongs to another user (" + UserText(user) +
               "), not to this service's user (" + UserText(::geteuid()) +
               "); have it removed or choose another channel";
      return false;
    }
    pid_t owner = RecordedOwner(name);
    if (ProcessRuns(owner)) {
      *error = "the shared memory segment \"" + name +
               "\" belongs to the running process " + std::to_string(owner) +
               "; stop it or choose another channel";
      return false;
    }
    if (::shm_unlink(name.c_str()) == 0) {
      *note = "replaced the stale shared memory segment \"" + name + "\"";
    } else if (errno != ENOENT) {
      *error = "cannot remove the stale shared memory segment \"" + name +
               "\": " + SystemError(errno);
      return false;
    }
  }
  struct stat info {};
  // The umask may have taken bits from 0600, and probes accept no other
  // mode.
  if (::fchmod(fd, 0600) != 0 ||
      ::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
      ::fstat(fd, &info) != 0) {
    *error = "cannot size the shared memory segment \"" + name +
             "\": " + SystemError(errno);
    ::close(fd);
    ::shm_unlink(name.c_str());
    return false;
  }
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (base == MAP_FAILED) {
    *error = "cannot map the shared memory segment \"" + name +
             "\": " + SystemError(errno);
    ::shm_unlink(name.c_str());
    return false;
  }
  // The new file is zero-filled; the objects still have to be begun. The
  // magic goes in last, so a reader that sees it sees a complete header.
  auto* header = new (base) SegmentHeader{};
  auto* counters =
      reinterpret_cast<Counter*>(static_cast<char*>(base) + kCountersOffset);
  for (std::uint64_t i = 0; i < methodCount; ++i) new (&counters[i]) Counter(0);
  header->version = kSegmentVersion;
  header->countersOffset = static_cast<std::uint32_t>(kCountersOffset);
  header->methodCount = methodCount;
  header->ownerPid = ::getpid();
  header->magic.store(kSegmentMagic, std::memory_order_release);

  name_ = name;
  view_.header = header;
  view_.counters = counters;
  view_.methodCount = methodCount;
  view_.base = base;
  view_.mappedSize = size;
  device_ = static_cast<std::uint64_t>(info.st_dev);
  inode_ = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

void OwnedSegment::Reset() {
  for (std::uint64_t i = 0; i < view_.methodCount; ++i) {
    view_.counters[i].store(0, std::memory_order_relaxed);
  }
}

void OwnedSegment::Remove() {
  if (view_.base == nullptr) return;
  // Probes that still map the segment see the flag and look the name up
  // again, so that they count into a successor rather than into a segment
  // nobody reads.
  view_.header->retired.store(1, std::memory_order_release);
  // Remove the name only while it still denotes this segment: another
  // service may have replaced it in the meantime.
  int fd = ::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd >= 0) {
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 &&
                static_cast<std::uint64_t>(info.st_dev) == device_ &&
                static_cast<std::uint64_t>(info.st_ino) == inode_;
    ::close(fd);
    if (same) ::shm_unlink(name_.c_str());
  }
  UnmapSegment(&view_);
  name_.clear();
}

}  // namespace ostrivel::tools
