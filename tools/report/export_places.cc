#include "tools/report/export_places.h"

#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <unordered_map>

#include <fmt/format.h>

#include "formats/method_list_format.h"
#include "platform/operations.h"
#include "tools/llvm_profile/raw_profile.h"
#include "tools/methods/elf_file.h"
#include "tools/methods/elf_symbols.h"
#include "tools/report/debug_lines.h"

namespace ostrivel::report {

namespace {

// A method-list file and where its lines start in its application's list.
struct ListFile {
  std::string path;
  std::string application;
  std::uint32_t base = 0;
  std::uint32_t size = 0;
};

// The list files in the library's listing order, in which it appends two
// files of one application.
bool ListFiles(const std::string& directory, std::vector<ListFile>* files,
               std::string* error) {
  platform::DirectoryListing listing =
      platform::Current().listDirectory(directory);
  if (listing.error != 0) {
    *error =
        fmt::format("the methods directory \"{}\" cannot be read", directory);
    return false;
  }
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  std::map<std::string, std::uint32_t> sizes;
  for (const platform::DirectoryEntry& entry : listing.entries) {
    if (entry.isDirectory || !formats::IsMethodListName(entry.name)) continue;
    std::string problem;
    auto file = formats::ReadMethodListFile(prefix + entry.name, &problem);
    if (!file) continue;
    std::uint32_t& size = sizes[file->application];
    auto lines = static_cast<std::uint32_t>(file->lines.size());
    files->push_back({prefix + entry.name, file->application, size, lines});
    size += lines;
  }
  return true;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// Offset -> position of the module of build ID "buildId" in the module
// table "path"; nothing when the table does not name it.
std::optional<std::unordered_map<std::uint64_t, std::uint32_t>> ModuleOffsets(
    const std::string& path, const std::string& buildId) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  bool inModule = false;
  std::optional<std::unordered_map<std::uint64_t, std::uint32_t>> offsets;
  while (std::getline(in, line)) {
    if (line.rfind("module ", 0) == 0) {
      std::istringstream fields(line);
      std::string word, kind, id;
      fields >> word >> kind >> id;
      inModule = id == buildId;
      if (inModule && !offsets) offsets.emplace();
      continue;
    }
    if (!inModule) continue;
    std::uint64_t offset = 0;
    std::uint32_t position = 0;
    std::istringstream fields(line);
    fields >> std::hex >> offset >> std::dec >> position;
    if (fields) offsets->emplace(offset, position);
  }
  return offsets;
}

std::string LastComponent(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool PlaceProgram(const ImpactBinary& binary, const std::string& directory,
                  const std::vector<ListFile>& files, ApplicationPlaces* places,
                  std::string* error) {
  std::string image;
  std::string problem;
  if (!methods::ReadElfFile(binary.path, &image, &problem)) {
    *error = fmt::format("\"{}\": {}", binary.path, problem);
    return false;
  }
  std::string buildId = methods::ReadBuildId(image).value_or("");
  std::optional<DebugLines> lines = ReadDebugLines(image, &problem);
  if (!lines) {
    *error = fmt::format("\"{}\": {}", binary.path, problem);
    return false;
  }

  // The list files it counts into.
  std::vector<const ListFile*> own;
  std::optional<std::unordered_map<std::uint64_t, std::uint32_t>> modules;
  std::uint32_t modulesBase = 0;
  for (const ListFile& list : files) {
    if (!binary.application.empty() && list.application != binary.application) {
      continue;
    }
    bool named =
        !buildId.empty() && FirstLine(list.path + ".build-id") == buildId;
    if (!buildId.empty() && !modules) {
      modules = ModuleOffsets(list.path + ".modules", buildId);
      if (modules) {
        modulesBase = list.base;
        named = true;
      }
    }
    if (named || !binary.application.empty()) own.push_back(&list);
    if (named && binary.application.empty()) break;
  }
  if (own.empty()) {
    *error =
        binary.application.empty()
            ? fmt::format(
                  "no method list in \"{}\" was written for \"{}\" (build "
                  "ID {}): name its application with --binary APP=PATH",
                  directory, binary.path, buildId.empty() ? "none" : buildId)
            : fmt::format(
                  "no method list in \"{}\" names the application \"{}\"",
                  directory, binary.application);
    return false;
  }
  places->application = own.front()->application;
  places->binary = binary.path;
  std::uint32_t size = 0;
  for (const ListFile& list : files) {
    if (list.application == places->application) size += list.size;
  }
  places->methods.assign(size, {});

  // How the list names functions: by start address or by profile name.
  std::unordered_map<std::uint64_t, std::uint32_t> byOffset;
  std::unordered_map<std::uint64_t, std::uint32_t> byNameRef;
  for (const ListFile& list : files) {
    if (list.application != places->application) continue;
    std::string ignored;
    auto file = formats::ReadMethodListFile(list.path, &ignored);
    if (!file) continue;
    for (std::uint32_t i = 0; i < file->lines.size(); ++i) {
      std::string_view line = file->lines[i];
      std::uint32_t position = list.base + i;
      if (line.substr(0, 2) == "0x") {
        std::uint64_t offset = 0;
        std::string_view digits = line.substr(2, line.find(';') - 2);
        auto [end, parsed] = std::from_chars(
            digits.data(), digits.data() + digits.size(), offset, 16);
        if (parsed == std::errc() && end == digits.data() + digits.size()) {
          byOffset.emplace(offset, position);
        }
      } else if (auto nameRef = llvm_profile::MethodLineNameRef(line)) {
        byNameRef.emplace(*nameRef, position);
      }
    }
  }
  if (modules) {
    for (const auto& [offset, position] : *modules) {
      byOffset[offset] = modulesBase + position;
    }
  }

  auto place = [&](std::uint32_t position,
                   const DebugLines::Function& function) {
    if (position >= places->methods.size() || function.file < 0 ||
        function.line == 0) {
      return;
    }
    MethodPlace& at = places->methods[position];
    if (at.line != 0) return;  // the first copy found names it
    at.file = lines->files()[static_cast<std::size_t>(function.file)];
    at.line = function.line;
  };
  for (const DebugLines::Function& function : lines->functions()) {
    for (std::uint64_t entry : function.entries) {
      auto found = byOffset.find(entry);
      if (found != byOffset.end()) place(found->second, function);
    }
    if (byNameRef.empty() || function.symbol.empty()) continue;
    // A function of internal linkage is profiled as "file:name", the file
    // as the compiler was given it.
    for (const std::string& name :
         {function.symbol, function.unit + ":" + function.symbol,
          LastComponent(function.unit) + ":" + function.symbol}) {
      auto found = byNameRef.find(llvm_profile::NameRef(name));
      if (found != byNameRef.end()) place(found->second, function);
    }
  }
  return true;
}

}  // namespace

bool FindMethodPlaces(const std::string& methodsDirectory,
                      const std::vector<ImpactBinary>& binaries,
                      std::vector<ApplicationPlaces>* places,
                      std::string* error) {
  std::vector<ListFile> files;
  if (!ListFiles(methodsDirectory, &files, error)) return false;
  for (const ImpactBinary& binary : binaries) {
    ApplicationPlaces program;
    if (!PlaceProgram(binary, methodsDirectory, files, &program, error)) {
      return false;
    }
    places->push_back(std::move(program));
  }
  return true;
}

}  // namespace ostrivel::report
