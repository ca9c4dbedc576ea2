#include "tools/methods/elf_symbols.h"

#include <elf.h>

#include <cstring>
#include <optional>

namespace ostrivel::methods {
namespace {

// Copies a structure out of the image, or nothing when it does not fit.
// Copying also spares us any alignment assumption about the image.
template <typename T>
std::optional<T> At(std::string_view image, std::uint64_t offset) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) {
    return std::nullopt;
  }
  T value;
  std::memcpy(&value, image.data() + offset, sizeof(T));
  return value;
}

// The zero-terminated string at "offset" of a string table, or nothing.
std::optional<std::string_view> StringAt(std::string_view image,
                                         const Elf64_Shdr& table,
                                         std::uint64_t offset) {
  if (table.sh_offset > image.size() ||
      table.sh_size > image.size() - table.sh_offset ||
      offset >= table.sh_size) {
    return std::nullopt;
  }
  std::string_view strings = image.substr(table.sh_offset, table.sh_size);
  std::size_t end = strings.find('\0', offset);
  if (end == std::string_view::npos) return std::nullopt;
  return strings.substr(offset, end - offset);
}

// The lower-case hex digits of "bytes".
std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// The build ID among the notes of one SHT_NOTE section.
std::optional<std::string> BuildIdIn(std::string_view notes,
                                     std::uint64_t alignment) {
  std::uint64_t offset = 0;
  while (auto note = At<Elf64_Nhdr>(notes, offset)) {
    std::uint64_t name = offset + sizeof(Elf64_Nhdr);
    std::uint64_t description = name + RoundUp(note->n_namesz, alignment);
    if (description > notes.size() ||
        note->n_descsz > notes.size() - description) {
      return std::nullopt;
    }
    if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
        notes.substr(name, 4) == std::string_view("GNU\0", 4) &&
        note->n_descsz > 0) {
      return Hex(notes.substr(description, note->n_descsz));
    }
    offset = description + RoundUp(note->n_descsz, alignment);
  }
  return std::nullopt;
}

// Where the section headers of a 64-bit little-endian ELF image start and
// how many the file header announces (a count that may exceed the image).
struct SectionTable {
  Elf64_Ehdr header;
  Elf64_Shdr
      first;  // section 0, which holds the counts too large for the header
  std::uint64_t count = 0;
};

// The section table of "image", or nothing when it is no such ELF file or
// has no section headers.
std::optional<SectionTable> FindSectionTable(std::string_view image) {
  auto header = At<Elf64_Ehdr>(image, 0);
  if (!header || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64 ||
      header->e_ident[EI_DATA] != ELFDATA2LSB ||
      header->e_shentsize != sizeof(Elf64_Shdr) || header->e_shoff == 0) {
    return std::nullopt;
  }
  auto first = At<Elf64_Shdr>(image, header->e_shoff);
  if (!first) return std::nullopt;
  return SectionTable{*header, *first,
                      header->e_shnum != 0 ? header->e_shnum : first->sh_size};
}

}  // namespace

std::optional<std::string> ReadBuildId(std::string_view image) {
  auto table = FindSectionTable(image);
  if (!table) return std::nullopt;
  const Elf64_Ehdr& header = table->header;
  const std::uint64_t count = table->count;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (i > (image.size() - header.e_shoff) / sizeof(Elf64_Shdr)) break;
    auto section =
        At<Elf64_Shdr>(image, header.e_shoff + i * sizeof(Elf64_Shdr));
    if (!section) break;
    if (section->sh_type != SHT_NOTE || section->sh_offset > image.size() ||
        section->sh_size > image.size() - section->sh_offset) {
      continue;
    }
    auto id = BuildIdIn(image.substr(section->sh_offset, section->sh_size),
                        section->sh_addralign == 8 ? 8 : 4);
    if (id) return id;
  }
  return std::nullopt;
}

bool ReadFunctionSymbols(std::string_view image,
                         std::vector<FunctionSymbol>* symbols,
                         std::string* error) {
  auto header = At<Elf64_Ehdr>(image, 0);
  if (image.size() < EI_NIDENT ||
      std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    *error = "not an ELF file";
    return false;
  }
  if (!header || header->e_ident[EI_CLASS] != ELFCLASS64 ||
      header->e_ident[EI_DATA] != ELFDATA2LSB) {
    *error = "only 64-bit little-endian ELF files are supported";
    return false;
  }
  if (header->e_shentsize != sizeof(Elf64_Shdr) || header->e_shoff == 0) {
    *error = "the ELF file has no section table";
    return false;
  }
  auto first = At<Elf64_Shdr>(image, header->e_shoff);
  if (!first) {
    *error = "the ELF file is damaged (section table)";
    return false;
  }
  // Beyond 0xff00 sections the real numbers live in the first section.
  std::uint64_t count = header->e_shnum != 0 ? header->e_shnum : first->sh_size;
  std::uint64_t namesIndex =
      header->e_shstrndx != SHN_XINDEX ? header->e_shstrndx : first->sh_link;
  if (count > (image.size() - header->e_shoff) / sizeof(Elf64_Shdr)) {
    *error = "the ELF file is damaged (section table)";
    return false;
  }
  std::vector<Elf64_Shdr> sections;
  for (std::uint64_t i = 0; i < count; ++i) {
    sections.push_back(
        *At<Elf64_Shdr>(image, header->e_shoff + i * sizeof(Elf64_Shdr)));
  }
  if (namesIndex >= count) {
    *error = "the ELF file is damaged (section names)";
    return false;
  }
  std::uint64_t textIndex = 0;
  const Elf64_Shdr* symbolTable = nullptr;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto name = StringAt(image, sections[namesIndex], sections[i].sh_name);
    if (name == ".text") textIndex = i;
    if (sections[i].sh_type == SHT_SYMTAB) symbolTable = &sections[i];
  }
  if (textIndex == 0) {
    *error = "the ELF file has no .text section";
    return false;
  }
  if (symbolTable == nullptr) {
    *error = "the ELF file has no symbol table (it was stripped)";
    return false;
  }
  if (symbolTable->sh_entsize != sizeof(Elf64_Sym) ||
      symbolTable->sh_link >= count || symbolTable->sh_offset > image.size() ||
      symbolTable->sh_size > image.size() - symbolTable->sh_offset) {
    *error = "the ELF file is damaged (symbol table)";
    return false;
  }
  const Elf64_Shdr& names = sections[symbolTable->sh_link];
  std::uint64_t symbolCount = symbolTable->sh_size / sizeof(Elf64_Sym);
  // Local symbols follow the FILE symbol of their translation unit.
  std::string file;
  for (std::uint64_t i = 1; i < symbolCount; ++i) {
    auto symbol =
        At<Elf64_Sym>(image, symbolTable->sh_offset + i * sizeof(Elf64_Sym));
    if (ELF64_ST_TYPE(symbol->st_info) == STT_FILE) {
      auto fileName = StringAt(image, names, symbol->st_name);
      file = fileName ? std::string(*fileName) : std::string();
      continue;
    }
    if (ELF64_ST_TYPE(symbol->st_info) != STT_FUNC ||
        symbol->st_shndx != textIndex) {
      continue;
    }
    auto name = StringAt(image, names, symbol->st_name);
    if (!name || name->empty()) continue;
    unsigned char binding = ELF64_ST_BIND(symbol->st_info);
    bool global = binding == STB_GLOBAL || binding == STB_WEAK;
    symbols->push_back(FunctionSymbol{symbol->st_value, symbol->st_size,
                                      std::string(*name), global,
                                      global ? std::string() : file});
  }
  return true;
}

std::optional<std::string_view> ReadSection(std::string_view image,
                                            std::string_view name) {
  auto table = FindSectionTable(image);
  if (!table) return std::nullopt;
  const Elf64_Ehdr& header = table->header;
  const std::uint64_t count = table->count;
  std::uint64_t namesIndex = header.e_shstrndx != SHN_XINDEX
                                 ? header.e_shstrndx
                                 : table->first.sh_link;
  if (count > (image.size() - header.e_shoff) / sizeof(Elf64_Shdr) ||
      namesIndex >= count) {
    return std::nullopt;
  }
  auto names =
      At<Elf64_Shdr>(image, header.e_shoff + namesIndex * sizeof(Elf64_Shdr));
  for (std::uint64_t i = 0; i < count; ++i) {
    auto section =
        At<Elf64_Shdr>(image, header.e_shoff + i * sizeof(Elf64_Shdr));
    if (StringAt(image, *names, section->sh_name) != name) continue;
    if (section->sh_type == SHT_NOBITS || section->sh_offset > image.size() ||
        section->sh_size > image.size() - section->sh_offset) {
      return std::nullopt;
    }
    return image.substr(section->sh_offset, section->sh_size);
  }
  return std::nullopt;
}

}  // namespace ostrivel::methods
