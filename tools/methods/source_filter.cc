#include "tools/methods/source_filter.h"

#include <dwarf.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "tools/methods/dwarf_image.h"

namespace ostrivel::methods {
namespace {

namespace fs = std::filesystem;

// Whether the canonical path "file" lies in the canonical directory "dir" or
// below it: whole components, so "/src/a" is not under "/src/ab".
bool Under(const std::string& file, const std::string& dir) {
  if (dir == "/") return !file.empty() && file[0] == '/';
  return file.size() > dir.size() && file.compare(0, dir.size(), dir) == 0 &&
         file[dir.size()] == '/';
}

// Whether "sourceFile", the file a profile record of a function of internal
// linkage names, is the compile unit "unit": clang records the name the
// compiler was given, or only its last component.
bool NamesUnit(std::string_view sourceFile, std::string_view unit) {
  if (sourceFile.empty()) return false;
  if (unit == sourceFile) return true;
  return unit.size() > sourceFile.size() &&
         unit.substr(unit.size() - sourceFile.size()) == sourceFile &&
         unit[unit.size() - sourceFile.size() - 1] == '/';
}

// A file name of the debug information made canonical, each name resolved
// once: many functions share a file.
class FileNames {
 public:
  explicit FileNames(const std::vector<std::string>& directories)
      : directories_(directories) {}

  struct Resolved {
    const std::string* file;
    bool under;
  };

  Resolved Resolve(const char* name, const std::string& compDir) {
    fs::path path(name);
    if (path.is_relative() && !compDir.empty()) path = fs::path(compDir) / path;
    std::string key = path.string();
    auto found = cache_.find(key);
    if (found == cache_.end()) {
      std::error_code error;
      fs::path canonical = fs::weakly_canonical(path, error);
      std::string file =
          error ? path.lexically_normal().string() : canonical.string();
      bool under = false;
      for (const std::string& dir : directories_)
        under = under || Under(file, dir);
      found = cache_.emplace(key, std::make_pair(file, under)).first;
    }
    return {&found->second.first, found->second.second};
  }

 private:
  const std::vector<std::string>& directories_;
  std::unordered_map<std::string, std::pair<std::string, bool>> cache_;
};

const char* StringAttribute(Dwarf_Die* die, unsigned int name) {
  Dwarf_Attribute attribute;
  if (dwarf_attr_integrate(die, name, &attribute) == nullptr) return nullptr;
  return dwarf_formstring(&attribute);
}

// The file that defines the subprogram "die": its declaration's file, or
// the line table's file at its first address.
const char* DefiningFile(Dwarf_Die* die, Dwarf_Die* unit, bool hasLow,
                         Dwarf_Addr low) {
  if (const char* file = dwarf_decl_file(die)) return file;
  if (!hasLow) return nullptr;
  Dwarf_Line* line = dwarf_getsrc_die(unit, low);
  return line == nullptr ? nullptr : dwarf_linesrc(line, nullptr, nullptr);
}

}  // namespace

std::optional<std::string> CanonicalDirectory(const std::string& path,
                                              std::string* error) {
  std::error_code code;
  fs::path canonical = fs::canonical(path, code);
  if (code || !fs::is_directory(canonical, code)) {
    *error = "\"" + path + "\" is no directory";
    return std::nullopt;
  }
  return canonical.string();
}

bool SourceFilter::KeepsAddress(std::uint64_t address) const {
  auto found = byAddress_.find(address);
  return found != byAddress_.end() && found->second;
}

SourceFilter::Verdict SourceFilter::KeepsSymbol(
    const std::string& symbol, std::string_view sourceFile) const {
  auto found = bySymbol_.find(symbol);
  if (found == bySymbol_.end()) return Verdict::kDrop;
  std::vector<const Definition*> candidates;
  for (const Definition& definition : found->second) {
    if (NamesUnit(sourceFile, definition.unit)) {
      candidates.push_back(&definition);
    }
  }
  if (candidates.empty()) {
    for (const Definition& definition : found->second) {
      candidates.push_back(&definition);
    }
  }
  bool anyUnder = false;
  bool anyElsewhere = false;
  for (const Definition* definition : candidates) {
    (definition->under ? anyUnder : anyElsewhere) = true;
  }
  if (anyUnder && anyElsewhere) return Verdict::kAmbiguous;
  return anyUnder ? Verdict::kKeep : Verdict::kDrop;
}

std::vector<std::string> SourceFilter::FilesOf(
    const std::string& symbol) const {
  std::vector<std::string> files;
  auto found = bySymbol_.find(symbol);
  if (found == bySymbol_.end()) return files;
  for (const Definition& definition : found->second) {
    bool seen = false;
    for (const std::string& file : files)
      seen = seen || file == definition.file;
    if (!seen) files.push_back(definition.file);
  }
  return files;
}

std::optional<SourceFilter> ReadSourceFilter(
    std::string_view image, const std::vector<std::string>& directories,
    SourceFilter::Failure* failure, std::string* error) {
  DwarfImage::Failure opened = DwarfImage::Failure::kNone;
  std::unique_ptr<DwarfImage> dwarf = DwarfImage::Open(image, &opened, error);
  if (dwarf == nullptr) {
    *failure = opened == DwarfImage::Failure::kNoDebugInformation
                   ? SourceFilter::Failure::kNoDebugInformation
                   : SourceFilter::Failure::kDamaged;
    *error = opened == DwarfImage::Failure::kNoDebugInformation
                 ? "no debug information"
                 : "the debug information cannot be read: " + *error;
    return std::nullopt;
  }
  *failure = SourceFilter::Failure::kNone;

  SourceFilter filter;
  FileNames names(directories);
  bool unitsRead = dwarf->ForEachUnit(
      [&](Dwarf_Die* unit) {
        const char* compDir = StringAttribute(unit, DW_AT_comp_dir);
        const char* unitName = dwarf_diename(unit);
        std::string compDirText = compDir ? compDir : "";
        std::string unitText = unitName ? unitName : "";

        // Every DIE of the unit, depth first, without recursion: damaged
        // nesting cannot exhaust the stack.
        std::vector<Dwarf_Die> pending;
        Dwarf_Die child;
        if (dwarf_child(unit, &child) == 0) pending.push_back(child);
        while (!pending.empty()) {
          Dwarf_Die die = pending.back();
          pending.pop_back();
          Dwarf_Die sibling;
          if (dwarf_siblingof(&die, &sibling) == 0) pending.push_back(sibling);
          if (dwarf_child(&die, &child) == 0) pending.push_back(child);
          if (dwarf_tag(&die) != DW_TAG_subprogram ||
              dwarf_hasattr(&die, DW_AT_declaration)) {
            continue;
          }
          // Where its code starts: one address, or the start of each range of
          // a function split into parts.
          std::vector<Dwarf_Addr> starts;
          Dwarf_Addr low = 0;
          if (dwarf_lowpc(&die, &low) == 0) {
            starts.push_back(low);
          } else {
            Dwarf_Addr base = 0;
            Dwarf_Addr start = 0;
            Dwarf_Addr end = 0;
            for (ptrdiff_t offset = 0;
                 (offset = dwarf_ranges(&die, offset, &base, &start, &end)) >
                 0;) {
              starts.push_back(start);
            }
          }
          const char* file = DefiningFile(&die, unit, !starts.empty(),
                                          starts.empty() ? 0 : starts[0]);
          if (file == nullptr) continue;
          FileNames::Resolved resolved = names.Resolve(file, compDirText);
          for (Dwarf_Addr start : starts) {
            filter.byAddress_[start] = resolved.under;
          }
          const char* symbol = StringAttribute(&die, DW_AT_linkage_name);
          if (symbol == nullptr)
            symbol = StringAttribute(&die, DW_AT_MIPS_linkage_name);
          if (symbol == nullptr) symbol = StringAttribute(&die, DW_AT_name);
          if (symbol == nullptr) continue;
          std::vector<SourceFilter::Definition>& definitions =
              filter.bySymbol_[symbol];
          bool known = false;
          for (const SourceFilter::Definition& definition : definitions) {
            known = known || (definition.unit == unitText &&
                              definition.file == *resolved.file);
          }
          if (!known) {
            definitions.push_back({unitText, *resolved.file, resolved.under});
          }
        }
      },
      error);
  if (!unitsRead) {
    *failure = SourceFilter::Failure::kDamaged;
    *error = "the debug information cannot be read: " + *error;
    return std::nullopt;
  }
  return filter;
}

}  // namespace ostrivel::methods
