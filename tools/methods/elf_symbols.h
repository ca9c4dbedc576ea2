#ifndef OSTRIVEL_TOOLS_METHODS_ELF_SYMBOLS_H_
#define OSTRIVEL_TOOLS_METHODS_ELF_SYMBOLS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::methods {

// A function symbol defined in the ".text" section of an ELF file.
struct FunctionSymbol {
  std::uint64_t address = 0;  // st_value: an offset for a position-independent
                              // executable, an address otherwise
  std::uint64_t size = 0;
  std::string name;     // as in the symbol table, still mangled
  bool global = false;  // global or weak binding, not local
  // For a local symbol, the source file that the FILE symbol before it in
  // the table names (empty when none does): static functions of different
  // files may share a name.
  std::string file = {};
};

// Reads the function symbols of the ".text" section from the symbol table
// (.symtab) of the 64-bit little-endian ELF image "image". Returns false and
// a message in "*error" for anything else, for a stripped image, and for a
// damaged one; never reads outside "image".
bool ReadFunctionSymbols(std::string_view image,
                         std::vector<FunctionSymbol>* symbols,
                         std::string* error);

// The GNU build ID of the ELF image "image" (its NT_GNU_BUILD_ID note, the
// one "readelf -n" shows) as lower-case hex digits, or nothing when it has
// none or is no readable 64-bit little-endian ELF image. Never reads outside
// "image".
std::optional<std::string> ReadBuildId(std::string_view image);

// The contents of the section named "name" of the 64-bit little-endian ELF
// image "image", or nothing when it has no such section with contents in
// the file (or is no readable such image). Never reads outside "image".
std::optional<std::string_view> ReadSection(std::string_view image,
                                            std::string_view name);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_ELF_SYMBOLS_H_
