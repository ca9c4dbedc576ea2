#ifndef OSTRIVEL_TOOLS_LLVM_PROFILE_PROFILE_FILES_H_
#define OSTRIVEL_TOOLS_LLVM_PROFILE_PROFILE_FILES_H_

// The raw profiles that clang-built programs under test keep live in file
// mappings (continuous mode), read and zeroed by the collection service.
//
// Each application gets a directory of its own, created by the service
// with mode 0700, so that only its user can put files there:
//   /dev/shm/ostrivel.<uid>.<channel>.<application>.<hash>.profiles
// (the counter segment's name, see tools/counter_segment/, with
// ".profiles" behind it). A program under test runs with
//   LLVM_PROFILE_FILE=<directory>/%p%c.profraw
// so that each process has a file named after its process ID and its
// counters stay mapped into that file while it runs: a process that exits,
// or is killed, has counted every call up to that moment, and a running
// one is read as far as it has counted.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ostrivel::llvm_profile {

// The directory of "application"'s raw profiles on "channel" for this
// process's effective user.
std::string ProfileDirectoryPath(const std::string& channel,
                                 const std::string& application);

// The LLVM_PROFILE_FILE value for the programs of the directory "directory".
std::string ProfileFilePattern(const std::string& directory);

// The raw profiles of one application. Reports each problem with a file
// once, through the function given to Create().
class ProfileDirectory {
 public:
  using Report = std::function<void(const std::string&)>;

  ProfileDirectory() = default;
  ~ProfileDirectory();  // unmaps the files and removes them and the directory
  ProfileDirectory(ProfileDirectory&& other) noexcept;
  ProfileDirectory& operator=(ProfileDirectory&& other) noexcept;
  ProfileDirectory(const ProfileDirectory&) = delete;
  ProfileDirectory& operator=(const ProfileDirectory&) = delete;

  // Creates "path" with mode 0700, or takes over the directory of that
  // name that this user left behind (its files removed). "nameRefs[i]" is
  // the name hash of method line i. Returns false with a message in
  // "*error" when "path" is something else, belongs to another user, or
  // cannot be created.
  bool Create(const std::string& path, std::vector<std::uint64_t> nameRefs,
              Report report, std::string* error);

  const std::string& path() const { return path_; }

  // Zeroes every counter of every file and removes the files of processes
  // that no longer run.
  void Reset();

  // Adds to "(*counts)[i]" the entry count of method line i in every file,
  // as far as the processes have counted. "*counts" has one element per
  // method line.
  void Sum(std::vector<std::uint64_t>* counts);

 private:
  // One mapped raw profile.
  struct File {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    long pid = 0;  // from the file's name; 0 when it names none
    void* base = nullptr;
    std::size_t size = 0;
    std::uint64_t* counters = nullptr;
    std::uint64_t counterCount = 0;
    // lineCounter[i]: the index of method line i's entry counter, or
    // kNoCounter when the program has no such function.
    std::vector<std::uint64_t> lineCounter;
  };
  static constexpr std::uint64_t kNoCounter = UINT64_MAX;

  // Maps the file "name" when it is a complete raw profile; nothing when
  // it is not (yet), with a report when it never will be.
  bool Open(const std::string& name, File* file);
  static void Unmap(File* file);
  // Opens the files not seen before and drops the ones that are gone.
  void Refresh();
  void ReportOnce(const std::string& key, const std::string& message);
  void Clear();

  std::string path_;
  std::vector<std::uint64_t> nameRefs_;
  Report report_;
  std::map<std::string, File> files_;            // by file name
  std::map<std::string, std::string> reported_;  // file name -> problem
};

}  // namespace ostrivel::llvm_profile

#endif  // OSTRIVEL_TOOLS_LLVM_PROFILE_PROFILE_FILES_H_
