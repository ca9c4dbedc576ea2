#ifndef OSTRIVEL_TOOLS_REPORT_DEBUG_LINES_H_
#define OSTRIVEL_TOOLS_REPORT_DEBUG_LINES_H_

// Which functions of a binary a source line belongs to, from the binary's
// DWARF debug information (read with elfutils' libdw).
//
// A function's lines are those of the line table that its address ranges
// cover. In the file that declares it they are taken as one span, from its
// declaration to its last line with code, so that a comment or a blank line
// inside its body belongs to it too; lines of other files that its code
// holds (inlined code) are taken one by one. Each inlined copy of a
// function (DW_TAG_inlined_subroutine) adds a span to the function it
// copies and to every function it lies in: a line of an inline function in
// a header belongs to the header's function and to each function it was
// inlined into.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel::report {

class DebugLines {
 public:
  // One function, however many copies of it the code holds.
  struct Function {
    // Where its out-of-line copies start (their first address).
    std::vector<std::uint64_t> entries;
    std::string symbol;  // linkage name, or the plain name (C)
    std::string unit;    // the name of a compile unit holding a copy
    // Its declaration: an index into files() (or -1) and a line.
    std::int32_t file = -1;
    std::uint32_t line = 0;
  };

  // Absolute file names, lexically normal; relative ones joined to the
  // compile unit's directory.
  const std::vector<std::string>& files() const { return files_; }
  const std::vector<Function>& functions() const { return functions_; }

  // Appends to "*out" the functions whose lines hold line "line" of file
  // "file"; with "alsoNext", only those holding line "line + 1" as well (a
  // line inserted between them lies inside the function).
  void FunctionsAt(std::uint32_t file, std::uint32_t line, bool alsoNext,
                   std::vector<std::uint32_t>* out) const;

 private:
  friend std::optional<DebugLines> ReadDebugLines(std::string_view image,
                                                  std::string* error);

  struct Span {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::uint32_t owners = 0;  // index into owners_
  };

  std::vector<std::string> files_;
  std::vector<Function> functions_;
  std::vector<std::vector<Span>> spans_;  // per file
  // Per span group: the functions a span belongs to.
  std::vector<std::vector<std::uint32_t>> owners_;
};

// Reads the debug information of the ELF image "image". Returns nothing
// with a message in "*error" when it has none or it cannot be read.
std::optional<DebugLines> ReadDebugLines(std::string_view image,
                                         std::string* error);

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_DEBUG_LINES_H_
