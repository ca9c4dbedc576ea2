#include "tools/probe/build_id.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

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

OSTRIVEL_NO_INSTRUMENT int FromFirstObject(dl_phdr_info* info, std::size_t,
                                           void* data) {
  // The first object is the executable.
  auto* id = static_cast<std::optional<std::string>*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    // The loader gives the load bias as a number.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* notes = reinterpret_cast<const unsigned char*>(info->dlpi_addr +
                                                               header.p_vaddr);
    *id = FindInNotes(notes, header.p_memsz, header.p_align == 8 ? 8 : 4);
    if (*id) break;
  }
  return 1;
}

}  // namespace

OSTRIVEL_NO_INSTRUMENT std::optional<std::string> ProgramBuildId() {
  std::optional<std::string> id;
  ::dl_iterate_phdr(FromFirstObject, &id);
  return id;
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

}  // namespace ostrivel::probe
