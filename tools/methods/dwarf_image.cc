#include "tools/methods/dwarf_image.h"

#include <dwarf.h>
#include <libelf.h>

#include <cstdint>

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

bool DwarfImage::ForEachUnit(const std::function<void(Dwarf_Die* unit)>& visit,
                             std::string* error) const {
  Dwarf_CU* unit = nullptr;
  Dwarf_CU* next = nullptr;
  Dwarf_Half version = 0;
  std::uint8_t unitType = 0;
  Dwarf_Die unitDie;
  int status;
  while ((status = dwarf_get_units(dwarf_, unit, &next, &version, &unitType,
                                   &unitDie, nullptr)) == 0) {
    unit = next;
    if (dwarf_tag(&unitDie) == DW_TAG_compile_unit ||
        dwarf_tag(&unitDie) == DW_TAG_partial_unit) {
      visit(&unitDie);
    }
  }
  if (status < 0) {
    *error = dwarf_errmsg(-1);
    return false;
  }
  return true;
}

DwarfImage::~DwarfImage() {
  if (dwarf_ != nullptr) dwarf_end(dwarf_);
  if (elf_ != nullptr) elf_end(elf_);
}

}  // namespace ostrivel::methods
