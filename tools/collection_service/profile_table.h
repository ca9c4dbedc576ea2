#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_PROFILE_TABLE_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_PROFILE_TABLE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/method_catalog.h"
#include "tools/llvm_profile/profile_files.h"

namespace ostrivel::collection {

// The applications of the clang route: those whose method lines all carry
// an "llvm:<name hash>" ID (written by ostrivel-methods from a program
// built with -fprofile-instr-generate). Their counts come from the raw
// profiles that their processes keep in the application's profile
// directory, not from the probe.
class ProfileTable {
 public:
  using Report = std::function<void(const std::string&)>;
  using Store = std::function<void(const std::string& application,
                                   const std::vector<std::uint64_t>& counts)>;

  ProfileTable();

  // Creates the profile directory of every clang-route application of
  // "catalog", with a note for each that says how to run its programs.
  // Returns false and a message in "*error" when one cannot be created;
  // those created before are removed again.
  bool Create(const std::string& channel, const formats::MethodCatalog& catalog,
              std::string* error, std::vector<std::string>* notes);

  // Problems with single profile files go to "report" (once each).
  void SetReport(Report report) { *report_ = std::move(report); }

  // Zeroes the counters of every process and forgets the ended ones.
  void Reset();

  // Hands each application's counts, one per method line, to "store".
  void Collect(const Store& store);

 private:
  std::shared_ptr<Report> report_;
  std::map<std::string, llvm_profile::ProfileDirectory> directories_;
  std::map<std::string, std::size_t> lineCounts_;
};

}  // namespace ostrivel::collection

#endif  // OSTRIVEL_TOOLS_COLLECTION_SERVICE_PROFILE_TABLE_H_
