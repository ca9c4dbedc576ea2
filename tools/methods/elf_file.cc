#include "tools/methods/elf_file.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace ostrivel::methods {
namespace {

// Closes the descriptor at the end of the scope.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

// Reads "size" bytes at "offset" into "*bytes". False on an error, or when
// the file ends first (it changed while being read).
bool ReadAt(int descriptor, std::uint64_t offset, std::size_t size,
            std::string* bytes, std::string* error) {
  bytes->assign(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(descriptor, bytes->data() + done, size - done,
                          static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = std::string("cannot be read: ") + std::strerror(errno);
      return false;
    }
    if (got == 0) {
      *error = "became shorter while it was read";
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// "offset" + "size", or nothing when the sum overflows.
std::optional<std::uint64_t> End(std::uint64_t offset, std::uint64_t size) {
  if (size > UINT64_MAX - offset) return std::nullopt;
  return offset + size;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

// The number of bytes of a 64-bit ELF file that its headers describe, or
// nothing with a message when that is more than "fileSize".
std::optional<std::uint64_t> DescribedSize(int descriptor,
                                           const Elf64_Ehdr& header,
                                           std::uint64_t fileSize,
                                           std::string* error) {
  std::uint64_t extent = sizeof(Elf64_Ehdr);
  std::string past = ", past the end of the file (" + Number(fileSize) +
                     " bytes): it is truncated or damaged";
  if (header.e_phoff != 0 && header.e_phnum != 0) {
    auto end =
        End(header.e_phoff, std::uint64_t{header.e_phnum} * header.e_phentsize);
    if (!end || *end > fileSize) {
      *error = "the ELF file's program headers end" +
               (end ? " at byte " + Number(*end) : std::string()) + past;
      return std::nullopt;
    }
    extent = std::max(extent, *end);
  }
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    // No section table to follow; ReadFunctionSymbols() says so.
    return extent;
  }
  std::string first;
  if (header.e_shoff > fileSize ||
      fileSize - header.e_shoff < sizeof(Elf64_Shdr)) {
    *error = "the ELF file's section table starts at byte " +
             Number(header.e_shoff) + past;
    return std::nullopt;
  }
  if (!ReadAt(descriptor, header.e_shoff, sizeof(Elf64_Shdr), &first, error)) {
    return std::nullopt;
  }
  Elf64_Shdr zeroth;
  std::memcpy(&zeroth, first.data(), sizeof zeroth);
  // Beyond 0xff00 sections the real count lives in the first section.
  std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : zeroth.sh_size;
  if (count > (fileSize - header.e_shoff) / sizeof(Elf64_Shdr)) {
    *error = "the ELF file's section table of " + Number(count) +
             " sections ends" + past;
    return std::nullopt;
  }
  std::string table;
  if (!ReadAt(descriptor, header.e_shoff,
              static_cast<std::size_t>(count * sizeof(Elf64_Shdr)), &table,
              error)) {
    return std::nullopt;
  }
  extent = std::max(extent, header.e_shoff + count * sizeof(Elf64_Shdr));
  for (std::uint64_t i = 0; i < count; ++i) {
    Elf64_Shdr section;
    std::memcpy(&section, table.data() + i * sizeof(Elf64_Shdr),
                sizeof section);
    if (section.sh_type == SHT_NOBITS || section.sh_type == SHT_NULL) continue;
    auto end = End(section.sh_offset, section.sh_size);
    if (!end || *end > fileSize) {
      *error = "the ELF file's section " + Number(i) + " ends" +
               (end ? " at byte " + Number(*end) : std::string()) + past;
      return std::nullopt;
    }
    extent = std::max(extent, *end);
  }
  return extent;
}

}  // namespace

bool ReadElfFile(const std::string& path, std::string* image,
                 std::string* error) {
  Descriptor file(
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) {
    *error = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    *error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = std::string("not a regular file (") + KindOf(status.st_mode) + ")";
    return false;
  }
  auto fileSize = static_cast<std::uint64_t>(status.st_size);
  std::string start;
  std::size_t headerSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, 64));
  if (!ReadAt(file.get(), 0, headerSize, &start, error)) return false;
  Elf64_Ehdr header;
  if (start.size() < sizeof header ||
      std::memcmp(start.data(), ELFMAG, SELFMAG) != 0 ||
      start[EI_CLASS] != ELFCLASS64 || start[EI_DATA] != ELFDATA2LSB) {
    *image = std::move(start);
    return true;
  }
  std::memcpy(&header, start.data(), sizeof header);
  std::optional<std::uint64_t> size =
      DescribedSize(file.get(), header, fileSize, error);
  if (!size) return false;
  return ReadAt(file.get(), 0, static_cast<std::size_t>(*size), image, error);
}

}  // namespace ostrivel::methods
