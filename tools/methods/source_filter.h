#ifndef OSTRIVEL_TOOLS_METHODS_SOURCE_FILTER_H_
#define OSTRIVEL_TOOLS_METHODS_SOURCE_FILTER_H_

// Which functions of a binary are defined in source files under given
// directories, as the binary's DWARF debug information says.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ostrivel::methods {

// The canonical form of the directory "path" (symbolic links and "."
// resolved), or nothing with a message in "*error" when it is no directory.
std::optional<std::string> CanonicalDirectory(const std::string& path,
                                              std::string* error);

class SourceFilter {
 public:
  enum class Verdict {
    kKeep,  // defined under one of the directories
    kDrop,  // defined elsewhere, or the debug information does not say
    // The debug information has several definitions of the name, some under
    // the directories and some not, and nothing tells which one is meant.
    kAmbiguous,
  };

  // What ReadSourceFilter() found wrong.
  enum class Failure { kNone, kNoDebugInformation, kDamaged };

  // Whether the function whose code starts at "address" (its symbol's
  // value) is defined under one of the directories.
  bool KeepsAddress(std::uint64_t address) const;

  // Whether the function of symbol (linkage) name "symbol", or of plain name
  // "symbol" for a function that has no linkage name (C), is defined under
  // one of the directories. "sourceFile", when not empty, is the source file
  // a function of internal linkage was compiled from, as its profile record
  // names it (the name the compiler was given, or its last component); it
  // chooses among several definitions of the name.
  Verdict KeepsSymbol(const std::string& symbol,
                      std::string_view sourceFile) const;

  // The canonical paths of the files that define "symbol", for messages.
  std::vector<std::string> FilesOf(const std::string& symbol) const;

 private:
  friend std::optional<SourceFilter> ReadSourceFilter(
      std::string_view image, const std::vector<std::string>& directories,
      Failure* failure, std::string* error);

  struct Definition {
    std::string unit;  // the compile unit's name, as the compiler was given it
    std::string file;  // canonical
    bool under = false;
  };

  std::unordered_map<std::uint64_t, bool> byAddress_;
  std::unordered_map<std::string, std::vector<Definition>> bySymbol_;
};

// Reads the debug information of the ELF image "image" and decides for each
// function it describes whether its definition (the subprogram's
// DW_AT_decl_file, or the line table at its first address when it has
// none) lies under one of "directories" (canonical, see
// CanonicalDirectory()). Relative file names are resolved against the
// compile unit's DW_AT_comp_dir; files are compared canonical.
//
// Returns nothing, "*failure" and a message in "*error" when the image has
// no debug information or it cannot be read.
std::optional<SourceFilter> ReadSourceFilter(
    std::string_view image, const std::vector<std::string>& directories,
    SourceFilter::Failure* failure, std::string* error);

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_SOURCE_FILTER_H_
