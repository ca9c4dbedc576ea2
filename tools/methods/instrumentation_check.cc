#include "tools/methods/instrumentation_check.h"

#include <elf.h>

#include <cstring>

#include "tools/methods/elf_file.h"
#include "tools/methods/elf_symbols.h"
#include "tools/methods/profiled_methods.h"

namespace ostrivel::methods {
namespace {

constexpr std::string_view kEntryHook = "__cyg_profile_func_enter";
constexpr std::string_view kProbeName = "libostrivel-probe.so";
constexpr std::string_view kCLibraryName = "libc.so";

// Copies a structure out of the image, or nothing when it does not fit.
template <typename T>
std::optional<T> At(std::string_view bytes, std::uint64_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
    return std::nullopt;
  }
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

std::int32_t Displacement(std::string_view bytes, std::uint64_t offset) {
  return At<std::int32_t>(bytes, offset).value_or(0);
}

struct Section {
  std::string_view name;
  Elf64_Shdr header;
  std::string_view bytes;  // empty for SHT_NOBITS or out of the image
};

std::string_view ContentsOf(std::string_view image, const Elf64_Shdr& header) {
  if (header.sh_type == SHT_NOBITS || header.sh_offset > image.size() ||
      header.sh_size > image.size() - header.sh_offset) {
    return {};
  }
  return image.substr(header.sh_offset, header.sh_size);
}

// The zero-terminated string at "offset" of "strings", or "".
std::string_view StringAt(std::string_view strings, std::uint64_t offset) {
  if (offset >= strings.size()) return {};
  std::size_t end = strings.find('\0', offset);
  if (end == std::string_view::npos) return {};
  return strings.substr(offset, end - offset);
}

// Every section of "image" with its name, or nothing when the section
// table does not fit.
std::optional<std::vector<Section>> ReadSections(std::string_view image,
                                                 const Elf64_Ehdr& header) {
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    return std::nullopt;
  }
  auto first = At<Elf64_Shdr>(image, header.e_shoff);
  if (!first) return std::nullopt;
  std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first->sh_size;
  std::uint64_t namesIndex =
      header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first->sh_link;
  if (count > (image.size() - header.e_shoff) / sizeof(Elf64_Shdr) ||
      namesIndex >= count) {
    return std::nullopt;
  }
  std::vector<Section> sections;
  for (std::uint64_t i = 0; i < count; ++i) {
    Elf64_Shdr section =
        *At<Elf64_Shdr>(image, header.e_shoff + i * sizeof(Elf64_Shdr));
    sections.push_back(Section{{}, section, ContentsOf(image, section)});
  }
  std::string_view names = sections[namesIndex].bytes;
  for (Section& section : sections) {
    section.name = StringAt(names, section.header.sh_name);
  }
  return sections;
}

const Section* Named(const std::vector<Section>& sections,
                     std::string_view name) {
  for (const Section& section : sections) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

const Section* OfType(const std::vector<Section>& sections,
                      std::uint32_t type) {
  for (const Section& section : sections) {
    if (section.header.sh_type == type) return &section;
  }
  return nullptr;
}

// The DT_NEEDED entries of the dynamic section, in lookup order.
std::vector<std::string_view> NeededLibraries(
    const std::vector<Section>& sections, const Section& dynamic) {
  std::vector<std::string_view> needed;
  if (dynamic.header.sh_link >= sections.size()) return needed;
  std::string_view strings = sections[dynamic.header.sh_link].bytes;
  for (std::uint64_t offset = 0;; offset += sizeof(Elf64_Dyn)) {
    auto entry = At<Elf64_Dyn>(dynamic.bytes, offset);
    if (!entry || entry->d_tag == DT_NULL) break;
    if (entry->d_tag == DT_NEEDED) {
      needed.push_back(StringAt(strings, entry->d_un.d_val));
    }
  }
  return needed;
}

// The entry hook's place in the dynamic symbol table.
struct DynamicHook {
  std::uint64_t index = 0;  // 0: not there
  bool defined = false;
};

DynamicHook FindDynamicHook(const std::vector<Section>& sections,
                            const Section& symbols) {
  DynamicHook hook;
  if (symbols.header.sh_link >= sections.size()) return hook;
  std::string_view strings = sections[symbols.header.sh_link].bytes;
  std::uint64_t count = symbols.bytes.size() / sizeof(Elf64_Sym);
  for (std::uint64_t i = 1; i < count; ++i) {
    auto symbol = At<Elf64_Sym>(symbols.bytes, i * sizeof(Elf64_Sym));
    if (StringAt(strings, symbol->st_name) != kEntryHook) continue;
    hook.index = i;
    hook.defined = symbol->st_shndx != SHN_UNDEF;
    return hook;
  }
  return hook;
}

// The GOT slots the dynamic linker fills with the hook's address: the
// targets of its JUMP_SLOT and GLOB_DAT relocations.
std::set<std::uint64_t> HookSlots(const std::vector<Section>& sections,
                                  const Section& dynamicSymbols,
                                  std::uint64_t hookIndex) {
  std::set<std::uint64_t> slots;
  for (const Section& section : sections) {
    if (section.header.sh_type != SHT_RELA ||
        section.header.sh_link >= sections.size() ||
        &sections[section.header.sh_link] != &dynamicSymbols) {
      continue;
    }
    std::uint64_t count = section.bytes.size() / sizeof(Elf64_Rela);
    for (std::uint64_t i = 0; i < count; ++i) {
      auto relocation = At<Elf64_Rela>(section.bytes, i * sizeof(Elf64_Rela));
      std::uint32_t type = ELF64_R_TYPE(relocation->r_info);
      if (ELF64_R_SYM(relocation->r_info) == hookIndex &&
          (type == R_X86_64_JUMP_SLOT || type == R_X86_64_GLOB_DAT)) {
        slots.insert(relocation->r_offset);
      }
    }
  }
  return slots;
}

// The PLT entries that jump through one of "slots": an entry of .plt,
// .plt.sec or .plt.got holds a "jmp *disp32(%rip)" (FF 25, perhaps after
// an endbr64 and a bnd prefix) to its slot. An entry starts at a multiple
// of the section's entry size.
std::set<std::uint64_t> HookEntries(const std::vector<Section>& sections,
                                    const std::set<std::uint64_t>& slots) {
  std::set<std::uint64_t> entries;
  for (const Section& section : sections) {
    if (section.name != ".plt" && section.name != ".plt.sec" &&
        section.name != ".plt.got") {
      continue;
    }
    std::uint64_t entrySize =
        section.header.sh_entsize != 0 ? section.header.sh_entsize : 16;
    std::string_view bytes = section.bytes;
    for (std::uint64_t i = 0; i + 6 <= bytes.size(); ++i) {
      if (bytes[i] != '\xff' || bytes[i + 1] != '\x25') continue;
      std::uint64_t next = section.header.sh_addr + i + 6;
      if (slots.count(next + Displacement(bytes, i + 2)) != 0) {
        entries.insert(section.header.sh_addr + i - i % entrySize);
      }
    }
  }
  return entries;
}

// Whether "code", placed at "address", holds a call of one of "targets"
// (E8 rel32) or through one of "slots" (FF 15 disp32).
bool CallsHook(std::string_view code, std::uint64_t address,
               const std::set<std::uint64_t>& targets,
               const std::set<std::uint64_t>& slots) {
  for (std::uint64_t i = 0; i + 5 <= code.size(); ++i) {
    if (code[i] == '\xe8' &&
        targets.count(address + i + 5 + Displacement(code, i + 1)) != 0) {
      return true;
    }
    if (code[i] == '\xff' && code[i + 1] == '\x15' && i + 6 <= code.size() &&
        slots.count(address + i + 6 + Displacement(code, i + 2)) != 0) {
      return true;
    }
  }
  return false;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

InstrumentationReport CheckInstrumentation(std::string_view image) {
  InstrumentationReport report;
  auto header = At<Elf64_Ehdr>(image, 0);
  if (!header || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64 ||
      header->e_ident[EI_DATA] != ELFDATA2LSB) {
    report.cannotCheck = "not a 64-bit little-endian ELF file";
    return report;
  }
  if (HasProfileRecords(image)) {
    report.checked = true;
    report.profileRecords = true;
    return report;
  }
  if (header->e_machine != EM_X86_64) {
    report.cannotCheck =
        "only x86-64 programs can be checked (this one has "
        "ELF machine " +
        std::to_string(header->e_machine) + ")";
    return report;
  }
  auto sections = ReadSections(image, *header);
  if (!sections) {
    report.cannotCheck = "the ELF file has no readable section table";
    return report;
  }
  report.checked = true;

  // A stripped program can still be checked for its binding; only the
  // callers need the symbol table.
  std::vector<FunctionSymbol> functions;
  std::string ignored;
  ReadFunctionSymbols(image, &functions, &ignored);
  std::set<std::uint64_t> targets;
  for (const FunctionSymbol& function : functions) {
    if (function.name == kEntryHook) targets.insert(function.address);
  }

  std::set<std::uint64_t> slots;
  const Section* dynamic = OfType(*sections, SHT_DYNAMIC);
  const Section* dynamicSymbols = OfType(*sections, SHT_DYNSYM);
  DynamicHook hook;
  if (dynamicSymbols != nullptr) {
    hook = FindDynamicHook(*sections, *dynamicSymbols);
  }
  if (!targets.empty()) {
    report.binding =
        dynamic != nullptr ? HookBinding::kOwn : HookBinding::kUnknown;
  } else if (hook.index != 0 && hook.defined) {
    report.binding = HookBinding::kOwn;
  } else if (hook.index != 0 && dynamic != nullptr) {
    // The dynamic linker searches the program's own NEEDED libraries in
    // their order before any of their dependencies.
    report.binding = HookBinding::kCLibrary;
    for (std::string_view library : NeededLibraries(*sections, *dynamic)) {
      if (StartsWith(library, kProbeName)) {
        report.probeNeeded = true;
        if (report.cLibraryBeforeProbe.empty()) {
          report.binding = HookBinding::kProbe;
        }
        break;
      }
      if (StartsWith(library, kCLibraryName) &&
          report.cLibraryBeforeProbe.empty()) {
        report.cLibraryBeforeProbe = std::string(library);
      }
    }
    if (!report.probeNeeded) report.cLibraryBeforeProbe.clear();
    slots = HookSlots(*sections, *dynamicSymbols, hook.index);
    targets = HookEntries(*sections, slots);
  }

  const Section* text = Named(*sections, ".text");
  if (text == nullptr || (targets.empty() && slots.empty())) return report;
  const std::uint64_t start = text->header.sh_addr;
  for (const FunctionSymbol& function : functions) {
    if (function.address < start ||
        function.address - start > text->bytes.size()) {
      continue;
    }
    std::string_view code =
        text->bytes.substr(function.address - start, function.size);
    if (CallsHook(code, function.address, targets, slots)) {
      report.hookCallers.insert(function.address);
    }
  }
  return report;
}

std::vector<Method> InstrumentedMethods(const std::vector<Method>& methods,
                                        const InstrumentationReport& report) {
  std::vector<Method> kept;
  for (const Method& method : methods) {
    if (report.hookCallers.count(method.address) != 0) kept.push_back(method);
  }
  return kept;
}

std::optional<std::string> DescribeProblem(
    const std::string& path, const InstrumentationReport& report) {
  constexpr const char* kLinkFix =
      "link libostrivel-probe.so after your objects; with CMake use "
      "ostrivel_instrument(target)";
  if (!report.checked || report.profileRecords) return std::nullopt;
  std::string program = "\"" + path + "\"";
  switch (report.binding) {
    case HookBinding::kNoReference:
      return program +
             " has no instrumented function (nothing calls "
             "__cyg_profile_func_enter), so every count stays 0: build with "
             "-finstrument-functions";
    case HookBinding::kCLibrary:
      if (report.probeNeeded) {
        return program + " loads " + report.cLibraryBeforeProbe +
               " before libostrivel-probe.so, so the C library's empty hooks "
               "are called instead of the probe's and every count stays 0: " +
               kLinkFix;
      }
      return program +
             " is not linked with libostrivel-probe.so, so its hooks are the "
             "C library's empty ones and every count stays 0: " +
             kLinkFix;
    case HookBinding::kProbe:
    case HookBinding::kOwn:
    case HookBinding::kUnknown:
      break;
  }
  return std::nullopt;
}

std::optional<std::string> InstrumentationProblem(const std::string& path) {
  std::string image;
  std::string error;
  if (!ReadElfFile(path, &image, &error)) return std::nullopt;
  return DescribeProblem(path, CheckInstrumentation(image));
}

}  // namespace ostrivel::methods
