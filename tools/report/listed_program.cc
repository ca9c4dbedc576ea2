#include "tools/report/listed_program.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include <fmt/format.h>

#include "formats/method_list_format.h"
#include "platform/operations.h"
#include "tools/llvm_profile/raw_profile.h"
#include "tools/methods/elf_file.h"
#include "tools/methods/elf_symbols.h"

namespace ostrivel::report {

namespace {

// The offsets and list positions of the module of build ID "buildId" in the
// module table "path"; nothing when the table does not name it.
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

}  // namespace

bool FindListFiles(const std::string& directory, std::vector<ListFile>* files,
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

std::vector<std::uint32_t> ListedProgram::Positions(std::uint32_t id) const {
  std::vector<std::uint32_t> positions;
  const DebugLines::Function& function = lines.functions()[id];
  for (std::uint64_t entry : function.entries) {
    auto found = byOffset.find(entry);
    if (found != byOffset.end()) positions.push_back(found->second);
  }
  if (!byNameRef.empty() && !function.symbol.empty()) {
    // A function of internal linkage is profiled as "file:name", the file
    // as the compiler was given it.
    for (const std::string& name :
         {function.symbol, function.unit + ":" + function.symbol,
          LastComponent(function.unit) + ":" + function.symbol}) {
      auto found = byNameRef.find(llvm_profile::NameRef(name));
      if (found != byNameRef.end()) positions.push_back(found->second);
    }
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()),
                  positions.end());
  return positions;
}

bool OpenListedProgram(
    const ImpactBinary& binary, const std::string& methodsDirectory,
    const std::vector<ListFile>& files,
    const std::unordered_map<std::string, const std::vector<std::string>*>&
        listLines,
    ListedProgram* program, std::string* error) {
  program->path = binary.path;
  std::string image;
  std::string problem;
  if (!methods::ReadElfFile(binary.path, &image, &problem)) {
    *error = fmt::format("\"{}\": {}", binary.path, problem);
    return false;
  }
  program->buildId = methods::ReadBuildId(image).value_or("");
  std::optional<DebugLines> lines = ReadDebugLines(image, &problem);
  if (!lines) {
    *error = fmt::format("\"{}\": {}", binary.path, problem);
    return false;
  }
  program->lines = std::move(*lines);

  // Which list it counts into.
  std::optional<std::unordered_map<std::uint64_t, std::uint32_t>> modules;
  std::uint32_t modulesBase = 0;
  for (const ListFile& list : files) {
    if (!binary.application.empty() && list.application != binary.application) {
      continue;
    }
    bool named = !program->buildId.empty() &&
                 FirstLine(list.path + ".build-id") == program->buildId;
    auto offsets =
        program->buildId.empty()
            ? std::nullopt
            : ModuleOffsets(list.path + ".modules", program->buildId);
    if (offsets && !modules) {
      modules = std::move(offsets);
      modulesBase = list.base;
      named = true;
    }
    if (named || !binary.application.empty()) program->lists.push_back(&list);
    if (named && binary.application.empty()) break;
  }
  if (program->lists.empty()) {
    *error = binary.application.empty()
                 ? fmt::format(
                       "no method list in \"{}\" was written for \"{}\" (build "
                       "ID {}): name its application with --binary APP=PATH",
                       methodsDirectory, binary.path,
                       program->buildId.empty() ? "none" : program->buildId)
                 : fmt::format(
                       "no method list in \"{}\" names the application "
                       "\"{}\"",
                       methodsDirectory, binary.application);
    return false;
  }
  program->application = program->lists.front()->application;
  program->inModuleTable = modules.has_value();

  auto whole = listLines.find(program->application);
  if (whole != listLines.end()) {
    const std::vector<std::string>& all = *whole->second;
    for (std::uint32_t position = 0; position < all.size(); ++position) {
      std::string_view line = all[position];
      if (line.substr(0, 2) == "0x") {
        std::uint64_t offset = 0;
        std::string_view digits = line.substr(2, line.find(';') - 2);
        auto [end, parsed] = std::from_chars(
            digits.data(), digits.data() + digits.size(), offset, 16);
        if (parsed == std::errc() && end == digits.data() + digits.size()) {
          program->byOffset.emplace(offset, position);
        }
      } else if (auto nameRef = llvm_profile::MethodLineNameRef(line)) {
        program->byNameRef.emplace(*nameRef, position);
      }
    }
  }
  if (modules) {
    for (const auto& [offset, position] : *modules) {
      program->byOffset[offset] = modulesBase + position;
    }
  }
  return true;
}

}  // namespace ostrivel::report
