#include "tools/report/export_places.h"

#include <unordered_map>

#include "formats/method_catalog.h"
#include "tools/report/listed_program.h"

namespace ostrivel::report {

namespace {

bool PlaceProgram(
    const ImpactBinary& binary, const std::string& directory,
    const std::vector<ListFile>& files,
    const std::unordered_map<std::string, const std::vector<std::string>*>&
        listLines,
    ApplicationPlaces* places, std::string* error) {
  ListedProgram program;
  if (!OpenListedProgram(binary, directory, files, listLines, &program,
                         error)) {
    return false;
  }
  places->application = program.application;
  places->binary = binary.path;
  auto whole = listLines.find(program.application);
  places->methods.assign(whole == listLines.end() ? 0 : whole->second->size(),
                         {});
  const std::vector<DebugLines::Function>& functions =
      program.lines.functions();
  for (std::uint32_t id = 0; id < functions.size(); ++id) {
    const DebugLines::Function& function = functions[id];
    if (function.file < 0 || function.line == 0) continue;
    for (std::uint32_t position : program.Positions(id)) {
      if (position >= places->methods.size()) continue;
      MethodPlace& at = places->methods[position];
      if (at.line != 0) continue;  // the first copy found names it
      at.file = program.lines.files()[static_cast<std::size_t>(function.file)];
      at.line = function.line;
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
  if (!FindListFiles(methodsDirectory, &files, error)) return false;
  formats::MethodCatalog catalog;
  if (!formats::LoadMethodCatalog(methodsDirectory, &catalog, error)) {
    return false;
  }
  std::unordered_map<std::string, const std::vector<std::string>*> listLines;
  for (const auto& [name, lines] : catalog.applications) {
    listLines.emplace(name, &lines);
  }
  for (const ImpactBinary& binary : binaries) {
    ApplicationPlaces program;
    if (!PlaceProgram(binary, methodsDirectory, files, listLines, &program,
                      error)) {
      return false;
    }
    places->push_back(std::move(program));
  }
  return true;
}

}  // namespace ostrivel::report
