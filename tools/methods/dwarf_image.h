#ifndef OSTRIVEL_TOOLS_METHODS_DWARF_IMAGE_H_
#define OSTRIVEL_TOOLS_METHODS_DWARF_IMAGE_H_

// The DWARF debug information of an ELF image, opened with elfutils' libdw.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <elfutils/libdw.h>

namespace ostrivel::methods {

class DwarfImage {
 public:
  enum class Failure { kNone, kNoDebugInformation, kDamaged };

  // Opens the debug information of the ELF image "image", read from a copy
  // (libelf reads an image in place and wants it writable). Returns null and
  // sets "*failure" when the image has no .debug_info, or libdw cannot read
  // it (then "*error" holds libdw's message).
  static std::unique_ptr<DwarfImage> Open(std::string_view image,
                                          Failure* failure, std::string* error);

  ~DwarfImage();
  DwarfImage(const DwarfImage&) = delete;
  DwarfImage& operator=(const DwarfImage&) = delete;

  Dwarf* dwarf() const { return dwarf_; }

  // Calls "visit" with the DIE of each compile (or partial) unit, in order.
  // Returns false, with libdw's message in "*error", when the units cannot
  // all be read.
  bool ForEachUnit(const std::function<void(Dwarf_Die* unit)>& visit,
                   std::string* error) const;

 private:
  explicit DwarfImage(std::string_view image) : copy_(image) {}

  std::string copy_;
  Elf* elf_ = nullptr;
  Dwarf* dwarf_ = nullptr;
};

}  // namespace ostrivel::methods

#endif  // OSTRIVEL_TOOLS_METHODS_DWARF_IMAGE_H_
