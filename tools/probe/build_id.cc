#include "tools/probe/build_id.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#define OSTRIVEL_NO_INSTRUMENT __attribute__((no_instrument_function))

namespace ostrivel::probe {
namespace {

// A build ID is 20 bytes for SHA-1, 16 for MD5 and UUID; more than this is
// no build ID a linker writes.
constexpr std::size_t kMaxIdBytes = 64;

OSTRIVEL_NO_INSTRUMENT std::uint64_t RoundUp(std::uint64_t value,
                                             std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

OSTRIVEL_NO_INSTRUMENT std::string Hex(const unsigned char* bytes,
                                       std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
  return text;
}

// The build ID among the notes of one PT_NOTE segment in memory.
OSTRIVEL_NO_INSTRUMENT std::optional<std::string> FindInNotes(
    const unsigned char* notes, std::uint64_t size, std::uint64_t alignment) {
  std::uint64_t offset = 0;
  while (size - offset >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) note;
    std::memcpy(&note, notes + offset, sizeof note);
    std::uint64_t name = offset + sizeof note;
    std::uint64_t description = name + RoundUp(note.n_namesz, alignment);
    if (description > size || note.n_descsz > size - description) break;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
        std::memcmp(notes + name, "GNU", 4) == 0 && note.n_descsz > 0 &&
        note.n_descsz <= kMaxIdBytes) {
      return Hex(notes + description, note.n_descsz);
    }
    offset = description + RoundUp(note.n_descsz, alignment);
  }
  return std::nullopt;
}

OSTRIVEL_NO_INSTRUMENT std::optional<std::string> BuildIdOf(
    const dl_phdr_info* info) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    // The loader gives the load bias as a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* notes = reinterpret_cast<const unsigned char*>(info->dlpi_addr +
                                                               header.p_vaddr);
    auto id = FindInNotes(notes, header.p_memsz, header.p_align == 8 ? 8 : 4);
    if (id) return id;
  }
  return std::nullopt;
}

OSTRIVEL_NO_INSTRUMENT int FromFirstObject(dl_phdr_info* info, std::size_t,
                                           void* data) {
  // The first object is the executable.
  *static_cast<std::optional<std::string>*>(data) = BuildIdOf(info);
  return 1;
}

OSTRIVEL_NO_INSTRUMENT std::string BaseName(const char* path) {
  std::string text = path == nullptr ? "" : path;
  std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

OSTRIVEL_NO_INSTRUMENT int AddModule(dl_phdr_info* info, std::size_t,
                                     void* data) {
  auto* modules = static_cast<std::vector<LoadedModule>*>(data);
  LoadedModule module;
  module.bias = info->dlpi_addr;
  module.start = UINTPTR_MAX;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    module.start = std::min<std::uintptr_t>(module.start,
                                            info->dlpi_addr + header.p_vaddr);
    module.end = std::max<std::uintptr_t>(
        module.end, info->dlpi_addr + header.p_vaddr + header.p_memsz);
  }
  if (module.start >= module.end) return 0;  // nothing mapped
  module.executable = modules->empty();
  // The executable has no name of its own here; the loader keeps the path
  // it was started by, as an address in the auxiliary vector.
  const char* name = info->dlpi_name;
  if (module.executable) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    name = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
  }
  module.fileName = BaseName(name);
  module.buildId = BuildIdOf(info);
  modules->push_back(std::move(module));
  return 0;
}

}  // namespace

OSTRIVEL_NO_INSTRUMENT std::optional<std::string> ProgramBuildId() {
  std::optional<std::string> id;
  ::dl_iterate_phdr(FromFirstObject, &id);
  return id;
}

OSTRIVEL_NO_INSTRUMENT std::vector<LoadedModule> LoadedModules() {
  std::vector<LoadedModule> modules;
  ::dl_iterate_phdr(AddModule, &modules);
  return modules;
}

OSTRIVEL_NO_INSTRUMENT ListBuildId
ReadListBuildId(const std::string& listPath) {
  ListBuildId result;
  std::string path = listPath + ".build-id";
  // Without blocking: a FIFO put in its place must not stop the program.
  int file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    result.present = errno != ENOENT;
    return result;
  }
  result.present = true;
  struct stat status {};
  char buffer[2 * kMaxIdBytes + 2];
  ssize_t got = -1;
  if (::fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
    do {
      got = ::read(file, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
  }
  ::close(file);
  if (got <= 0) return result;
  std::string text(buffer, static_cast<std::size_t>(got));
  result.id = text.substr(0, text.find_first_of("\r\n"));
  return result;
}

OSTRIVEL_NO_INSTRUMENT std::optional<std::string> ReadModuleTableText(
    const std::string& listPath) {
  std::string path = listPath + ".modules";
  int file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    if (errno == ENOENT) return std::nullopt;
    return std::string();
  }
  std::string text;
  struct stat status {};
  if (::fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
    char buffer[65536];
    for (;;) {
      ssize_t got = ::read(file, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(file);
  return text;
}

}  // namespace ostrivel::probe
