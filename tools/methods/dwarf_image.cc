#include "tools/methods/dwarf_image.h"

#include <libelf.h>

#include "tools/methods/elf_symbols.h"

namespace ostrivel::methods {

std::unique_ptr<DwarfImage> DwarfImage::Open(std::string_view image,
                                             Failure* failure,
                                             std::string* error) {
  *failure = Failure::kNone;
  if (!ReadSection(image, ".debug_info")) {
    *failure = Failure::kNoDebugInformation;
    return nullptr;
  }
  std::unique_ptr<DwarfImage> opened(new DwarfImage(image));
  elf_version(EV_CURRENT);
  opened->elf_ = elf_memory(opened->copy_.data(), opened->copy_.size());
  if (opened->elf_ != nullptr) {
    opened->dwarf_ = dwarf_begin_elf(opened->elf_, DWARF_C_READ, nullptr);
  }
  if (opened->dwarf_ == nullptr) {
    *failure = Failure::kDamaged;
    *error = dwarf_errmsg(-1);
    return nullptr;
  }
  return opened;
}

DwarfImage::~DwarfImage() {
  if (dwarf_ != nullptr) dwarf_end(dwarf_);
  if (elf_ != nullptr) elf_end(elf_);
}

}  // namespace ostrivel::methods
