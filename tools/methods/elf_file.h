#ifndef OSTRIVEL_TOOLS_METHODS_ELF_FILE_H_
#define OSTRIVEL_TOOLS_METHODS_ELF_FILE_H_

#include <string>

namespace ostrivel::methods {

// Reads the ELF image of the executable at "path" into "*image": the bytes
// that its headers describe (the ELF header, the program and section header
// tables and every section with contents), never more than the file holds.
// Whatever is not a 64-bit little-endian ELF file is read only as far as its
// first 64 bytes, for ReadFunctionSymbols() to name what it is.
//
// Only regular files are read. The file is opened without blocking, so a
// FIFO without a writer is refused at once instead of waiting, and a device
// such as /dev/zero is never read at all.
//
// Returns false with a message in "*error" for what is not a regular file,
// for a file that cannot be opened or read, and for an ELF file whose
// headers describe more than the file holds (truncated or damaged).
bool ReadElfFile(const std::string& path, std::string* image,
                 std::string* error);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_ELF_FILE_H_
