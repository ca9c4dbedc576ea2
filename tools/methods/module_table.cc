#include "tools/methods/module_table.h"

#include <cstdint>
#include <cstdio>
#include <unordered_map>

namespace ostrivel::methods {
namespace {

std::string KeyOf(const Method& method) {
  std::string key = method.symbol;
  key.push_back('\0');
  key += method.file;
  return key;
}

std::string HashId(const std::string& key) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  char text[32];
  std::snprintf(text, sizeof text, "sym:%016llx",
                static_cast<unsigned long long>(hash));
  return text;
}

// File names keep to one line: the table is read line by line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = '_';
  }
  return text.empty() ? std::string("-") : text;
}

}  // namespace

bool DefinesMain(const std::vector<FunctionSymbol>& symbols) {
  for (const FunctionSymbol& symbol : symbols) {
    if (symbol.global && symbol.name == "main") return true;
  }
  return false;
}

CombinedList CombineBinaries(const std::string& application,
                             const std::vector<ListedBinary>& binaries) {
  CombinedList result;
  bool several = binaries.size() > 1;
  std::unordered_map<std::string, std::size_t> positions;
  std::string lines;
  std::string modules = "ostrivel-modules 1\n";
  for (const ListedBinary& binary : binaries) {
    modules += std::string("module ") +
               (binary.program ? "program" : "library") + " " +
               (binary.buildId ? *binary.buildId : std::string("-")) + " " +
               OneLine(binary.fileName) + "\n";
    for (const Method& method : binary.methods) {
      std::string key = KeyOf(method);
      auto [found, added] = positions.emplace(key, result.methodCount);
      if (added) {
        lines += (several ? MethodLineWithId(HashId(key), method.name)
                          : MethodLine(method)) +
                 "\n";
        ++result.methodCount;
      }
      char entry[64];
      std::snprintf(entry, sizeof entry, "%llx %zu\n",
                    static_cast<unsigned long long>(method.address),
                    found->second);
      modules += entry;
    }
  }
  result.listText = "ProjectName;" + application + "\n" + lines;
  result.modulesText = std::move(modules);
  return result;
}

}  // namespace ostrivel::methods
