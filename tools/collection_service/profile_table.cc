#include "tools/collection_service/profile_table.h"

#include <optional>

#include "tools/collection_service/answers.h"
#include "tools/llvm_profile/raw_profile.h"

namespace ostrivel::collection {

ProfileTable::ProfileTable() : report_(std::make_shared<Report>()) {}

bool ProfileTable::Create(const std::string& channel,
                          const formats::MethodCatalog& catalog,
                          std::string* error, std::vector<std::string>* notes) {
  directories_.clear();
  lineCounts_.clear();
  for (const auto& [application, lines] : catalog.applications) {
    if (lines.empty()) continue;
    std::vector<std::uint64_t> nameRefs;
    for (const std::string& line : lines) {
      std::optional<std::uint64_t> nameRef =
          llvm_profile::MethodLineNameRef(line);
      if (!nameRef) break;
      nameRefs.push_back(*nameRef);
    }
    if (nameRefs.size() != lines.size()) continue;
    llvm_profile::ProfileDirectory directory;
    std::string path = llvm_profile::ProfileDirectoryPath(channel, application);
    std::shared_ptr<Report> report = report_;
    if (!directory.Create(
            path, std::move(nameRefs),
            [report](const std::string& line) {
              if (*report) (*report)(line);
            },
            error)) {
      directories_.clear();
      lineCounts_.clear();
      return false;
    }
    notes->push_back("application \"" + application +
                     "\": counted from clang's raw profiles; run its "
                     "programs with LLVM_PROFILE_FILE=" +
                     llvm_profile::ProfileFilePattern(path));
    directories_.emplace(application, std::move(directory));
    lineCounts_.emplace(application, lines.size());
  }
  return true;
}

void ProfileTable::Reset() {
  for (auto& entry : directories_) entry.second.Reset();
}

void ProfileTable::Collect(const Store& store) {
  for (auto& [application, directory] : directories_) {
    std::vector<std::uint64_t> counts(lineCounts_[application], 0);
    directory.Sum(&counts);
    store(application, counts);
  }
}

// The counter table's part of the clang route: the counts of its
// applications are copied into their segments, which the answers read.
void CounterTable::Collect() {
  profiles_.Collect([this](const std::string& application,
                           const std::vector<std::uint64_t>& counts) {
    auto segment = segments_.find(application);
    if (segment == segments_.end()) return;
    for (std::size_t i = 0;
         i < counts.size() && i < segment->second.methodCount(); ++i) {
      segment->second.counter(i).store(counts[i], std::memory_order_relaxed);
    }
  });
}

void CounterTable::ReportProfileProblemsTo(
    std::function<void(const std::string&)> report) {
  profiles_.SetReport(std::move(report));
}

}  // namespace ostrivel::collection
