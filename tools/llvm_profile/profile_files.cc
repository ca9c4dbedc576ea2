#include "tools/llvm_profile/profile_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "tools/counter_segment/counter_segment.h"
#include "tools/llvm_profile/raw_profile.h"

namespace ostrivel::llvm_profile {
namespace {

constexpr std::string_view kSuffix = ".profraw";

std::string SystemError(int error) { return std::strerror(error); }

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

// The process ID that "%p" put at the start of the file's name, or 0.
long PidOf(std::string_view name) {
  long pid = 0;
  std::size_t digits = 0;
  while (digits < name.size() && digits < 10 && name[digits] >= '0' &&
         name[digits] <= '9') {
    pid = pid * 10 + (name[digits] - '0');
    ++digits;
  }
  if (digits == 0 || digits == name.size() || name[digits] != '.') return 0;
  return pid;
}

// A process that exists, even one we may not signal, may still count.
bool ProcessRuns(long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::uint64_t LoadCounter(std::uint64_t& counter) {
  return std::atomic_ref<std::uint64_t>(counter).load(
      std::memory_order_relaxed);
}

void ZeroCounter(std::uint64_t& counter) {
  std::atomic_ref<std::uint64_t>(counter).store(0, std::memory_order_relaxed);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string ProfileDirectoryPath(const std::string& channel,
                                 const std::string& application) {
  return "/dev/shm" + tools::SegmentName(channel, application) + ".profiles";
}

std::string ProfileFilePattern(const std::string& directory) {
  return directory + "/%p%c.profraw";
}

ProfileDirectory::~ProfileDirectory() { Clear(); }

ProfileDirectory::ProfileDirectory(ProfileDirectory&& other) noexcept
    : path_(std::exchange(other.path_, std::string())),
      nameRefs_(std::move(other.nameRefs_)),
      report_(std::move(other.report_)),
      files_(std::move(other.files_)),
      reported_(std::move(other.reported_)) {
  other.files_.clear();
}

ProfileDirectory& ProfileDirectory::operator=(
    ProfileDirectory&& other) noexcept {
  if (this != &other) {
    Clear();
    path_ = std::exchange(other.path_, std::string());
    nameRefs_ = std::move(other.nameRefs_);
    report_ = std::move(other.report_);
    files_ = std::move(other.files_);
    other.files_.clear();
    reported_ = std::move(other.reported_);
  }
  return *this;
}

bool ProfileDirectory::Create(const std::string& path,
                              std::vector<std::uint64_t> nameRefs,
                              Report report, std::string* error) {
  Clear();
  if (::mkdir(path.c_str(), 0700) != 0) {
    int failure = errno;
    struct stat info {};
    if (failure != EEXIST || ::lstat(path.c_str(), &info) != 0) {
      *error = "cannot create the profile directory " + Quoted(path) + ": " +
               SystemError(failure);
      return false;
    }
    if (!S_ISDIR(info.st_mode)) {
      *error = "the profile directory " + Quoted(path) +
               " exists and is no directory; have it removed or choose "
               "another channel";
      return false;
    }
    if (info.st_uid != ::geteuid()) {
      *error = "the profile directory " + Quoted(path) +
               " belongs to another user (uid " +
               std::to_string(static_cast<unsigned long>(info.st_uid)) +
               "); have it removed or choose another channel";
      return false;
    }
    // Left by an earlier service of this user: its files of processes that
    // still run keep counting and are zeroed at the next NEWTC.
  }
  // The umask may have taken bits away, and nobody else may add files.
  if (::chmod(path.c_str(), 0700) != 0) {
    *error = "cannot set the mode of the profile directory " + Quoted(path) +
             ": " + SystemError(errno);
    return false;
  }
  path_ = path;
  nameRefs_ = std::move(nameRefs);
  report_ = std::move(report);
  return true;
}

void ProfileDirectory::ReportOnce(const std::string& key,
                                  const std::string& message) {
  auto [entry, added] = reported_.emplace(key, message);
  if (!added && entry->second == message) return;
  entry->second = message;
  if (report_) report_(message);
}

bool ProfileDirectory::Open(const std::string& name, File* file) {
  std::string path = path_ + "/" + name;
  // O_NONBLOCK: a FIFO put here must not stall the service.
  int fd = ::open(path.c_str(),
                  O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;  // gone meanwhile, or nothing to read
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != ::geteuid() || info.st_size <= 0) {
    ::close(fd);
    return false;
  }
  auto size = static_cast<std::size_t>(info.st_size);
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (base == MAP_FAILED) {
    ReportOnce(name, "profile file " + Quoted(path) +
                         " cannot be mapped: " + SystemError(errno));
    return false;
  }
  RawProfileLayout layout;
  std::string problem;
  RawProfileStatus status =
      ReadRawProfile(std::string_view(static_cast<const char*>(base), size),
                     &layout, &problem);
  if (status != RawProfileStatus::kOk) {
    ::munmap(base, size);
    if (status == RawProfileStatus::kUnsupported) {
      ReportOnce(name, "profile file " + Quoted(path) + " " + problem +
                           "; its counts are left out");
    }
    return false;
  }
  *file = File{};
  file->device = static_cast<std::uint64_t>(info.st_dev);
  file->inode = static_cast<std::uint64_t>(info.st_ino);
  file->pid = PidOf(name);
  file->base = base;
  file->size = size;
  file->counters = reinterpret_cast<std::uint64_t*>(static_cast<char*>(base) +
                                                    layout.countersOffset);
  file->counterCount = layout.counterCount;
  std::unordered_map<std::uint64_t, std::uint64_t> entryCounter;
  for (std::size_t i = 0; i < layout.records.size(); ++i) {
    entryCounter.emplace(layout.records[i].nameRef, layout.firstCounter[i]);
  }
  std::size_t missing = 0;
  file->lineCounter.reserve(nameRefs_.size());
  for (std::uint64_t nameRef : nameRefs_) {
    auto found = entryCounter.find(nameRef);
    if (found == entryCounter.end()) ++missing;
    file->lineCounter.push_back(found == entryCounter.end() ? kNoCounter
                                                            : found->second);
  }
  if (missing > 0) {
    ReportOnce(name, "profile file " + Quoted(path) + ": " +
                         std::to_string(missing) + " of the " +
                         std::to_string(nameRefs_.size()) +
                         " listed functions are not in its program (another "
                         "program, or a method list older than the program); "
                         "they count 0 from it");
  }
  return true;
}

void ProfileDirectory::Unmap(File* file) {
  if (file->base != nullptr) ::munmap(file->base, file->size);
  *file = File{};
}

void ProfileDirectory::Refresh() {
  if (path_.empty()) return;
  std::map<std::string, File> seen;
  DIR* directory = ::opendir(path_.c_str());
  if (directory == nullptr) {
    ReportOnce("", "the profile directory " + Quoted(path_) +
                       " cannot be read: " + SystemError(errno));
    return;
  }
  while (const dirent* entry = ::readdir(directory)) {
    std::string name = entry->d_name;
    if (!EndsWith(name, kSuffix)) continue;
    struct stat info {};
    if (::lstat((path_ + "/" + name).c_str(), &info) != 0) continue;
    auto known = files_.find(name);
    if (known != files_.end() &&
        known->second.device == static_cast<std::uint64_t>(info.st_dev) &&
        known->second.inode == static_cast<std::uint64_t>(info.st_ino)) {
      seen.emplace(name, std::exchange(known->second, File{}));
      continue;
    }
    File file;
    if (Open(name, &file)) seen.emplace(name, std::move(file));
  }
  ::closedir(directory);
  for (auto& [name, file] : files_) Unmap(&file);
  files_ = std::move(seen);
}

void ProfileDirectory::Reset() {
  Refresh();
  for (auto entry = files_.begin(); entry != files_.end();) {
    File& file = entry->second;
    if (file.pid > 0 && !ProcessRuns(file.pid)) {
      ::unlink((path_ + "/" + entry->first).c_str());
      Unmap(&file);
      reported_.erase(entry->first);
      entry = files_.erase(entry);
      continue;
    }
    for (std::uint64_t i = 0; i < file.counterCount; ++i) {
      ZeroCounter(file.counters[i]);
    }
    ++entry;
  }
}

void ProfileDirectory::Sum(std::vector<std::uint64_t>* counts) {
  Refresh();
  for (auto& [name, file] : files_) {
    for (std::size_t i = 0; i < file.lineCounter.size() && i < counts->size();
         ++i) {
      if (file.lineCounter[i] != kNoCounter) {
        (*counts)[i] += LoadCounter(file.counters[file.lineCounter[i]]);
      }
    }
  }
}

void ProfileDirectory::Clear() {
  for (auto& [name, file] : files_) {
    Unmap(&file);
    ::unlink((path_ + "/" + name).c_str());
  }
  files_.clear();
  if (!path_.empty()) {
    // Files that were never complete, or not ours to read, go too.
    if (DIR* directory = ::opendir(path_.c_str())) {
      while (const dirent* entry = ::readdir(directory)) {
        std::string name = entry->d_name;
        if (EndsWith(name, kSuffix)) ::unlink((path_ + "/" + name).c_str());
      }
      ::closedir(directory);
    }
    ::rmdir(path_.c_str());
  }
  path_.clear();
  reported_.clear();
}

}  // namespace ostrivel::llvm_profile
