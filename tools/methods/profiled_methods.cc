#include "tools/methods/profiled_methods.h"

#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "tools/llvm_profile/raw_profile.h"
#include "tools/methods/elf_symbols.h"

namespace ostrivel::methods {
namespace {

constexpr std::string_view kRecordsSection = "__llvm_prf_data";
constexpr std::string_view kNamesSection = "__llvm_prf_names";

// The symbol behind a profile name: a function of internal linkage is
// named "<source file>:<symbol>", and neither C names nor mangled names
// hold a ":".
std::string SymbolOf(const std::string& profileName) {
  std::size_t colon = profileName.rfind(':');
  return colon == std::string::npos ? profileName
                                    : profileName.substr(colon + 1);
}

}  // namespace

bool HasProfileRecords(std::string_view image) {
  return ReadSection(image, kRecordsSection).has_value();
}

bool ReadProfiledMethods(std::string_view image, const Selection& selection,
                         std::vector<ProfiledMethod>* methods,
                         std::string* error) {
  std::optional<std::string_view> records = ReadSection(image, kRecordsSection);
  std::optional<std::string_view> namesSection =
      ReadSection(image, kNamesSection);
  if (!records || !namesSection) {
    *error =
        "the program has no profile records (build it with "
        "-fprofile-instr-generate)";
    return false;
  }
  if (records->size() % llvm_profile::kDataRecordSize != 0) {
    *error = "the profile records are damaged (a size of " +
             std::to_string(records->size()) + " bytes)";
    return false;
  }
  std::vector<std::string> names;
  if (!llvm_profile::ReadProfileNames(*namesSection, &names, error)) {
    return false;
  }
  std::unordered_map<std::uint64_t, const std::string*> byRef;
  for (const std::string& name : names) {
    byRef.emplace(llvm_profile::NameRef(name), &name);
  }
  std::unordered_set<std::uint64_t> listed;
  for (std::size_t offset = 0; offset < records->size();
       offset += llvm_profile::kDataRecordSize) {
    llvm_profile::DataRecord record = llvm_profile::DecodeRecord(
        records->substr(offset, llvm_profile::kDataRecordSize));
    auto name = byRef.find(record.nameRef);
    if (name == byRef.end()) {
      *error = "the profile record " +
               std::to_string(offset / llvm_profile::kDataRecordSize) +
               " names no function of the profile names";
      return false;
    }
    if (!listed.insert(record.nameRef).second) continue;
    std::string symbol = SymbolOf(*name->second);
    std::string demangled = Demangle(symbol);
    QualifiedName qualified = SplitQualifiedName(demangled);
    if (!Selected(demangled, qualified, selection)) continue;
    std::string sourceFile =
        name->second->substr(0, name->second->size() - symbol.size());
    if (!sourceFile.empty()) sourceFile.pop_back();  // the ":"
    methods->push_back(ProfiledMethod{record.nameRef, std::move(qualified),
                                      std::move(symbol),
                                      std::move(sourceFile)});
  }
  return true;
}

std::string ProfiledMethodListText(const std::string& application,
                                   const std::vector<ProfiledMethod>& methods) {
  std::string text = "ProjectName;" + application + "\n";
  for (const ProfiledMethod& method : methods) {
    text += MethodLineWithId(llvm_profile::MethodLineId(method.nameRef),
                             method.name) +
            "\n";
  }
  return text;
}

}  // namespace ostrivel::methods
