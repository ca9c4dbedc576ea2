#include "tools/report/queries.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace ostrivel::report {

namespace {

bool Contains(std::string_view line, std::string_view pattern,
              bool ignoreCase) {
  if (!ignoreCase) return line.find(pattern) != std::string_view::npos;
  auto equal = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(line.begin(), line.end(), pattern.begin(), pattern.end(),
                     equal) != line.end();
}

class TestsForSink : public RowSink {
 public:
  TestsForSink(const std::string& application, const std::string& pattern,
               bool ignoreCase, TestsForAnswer* answer)
      : application_(application),
        pattern_(pattern),
        ignoreCase_(ignoreCase),
        answer_(answer) {}

  void Start(const Collection& collection) override {
    answer_->application = *collection.FindApplication(application_);
    const std::vector<std::string>& methods =
        collection.methods[answer_->application];
    matches_.resize(methods.size());
    for (std::size_t m = 0; m < methods.size(); ++m) {
      matches_[m] =
          Contains(methods[m], pattern_, ignoreCase_) ||
          Contains(QualifiedMethodName(methods[m]), pattern_, ignoreCase_);
    }
  }

  void Use(const UsableRow& row) override {
    ++answer_->usableRows;
    TestHits hits;
    for (std::size_t k = 0; k < row.covered->size(); ++k) {
      std::uint32_t method = (*row.covered)[k];
      if (!matches_[method]) continue;
      std::int64_t calls = (*row.calls)[k];
      hits.methods.push_back({method, calls});
      hits.calls += calls;
    }
    if (hits.methods.empty()) return;
    // Names are filled in once the reading is done.
    testIndex_.push_back(row.test);
    answer_->tests.push_back(std::move(hits));
  }

  const std::vector<std::uint32_t>& testIndex() const { return testIndex_; }

 private:
  const std::string& application_;
  const std::string& pattern_;
  bool ignoreCase_;
  TestsForAnswer* answer_;
  std::vector<bool> matches_;
  std::vector<std::uint32_t> testIndex_;
};

class UncoveredSink : public RowSink {
 public:
  UncoveredSink(const std::string& application, UncoveredAnswer* answer)
      : application_(application), answer_(answer) {}

  void Start(const Collection& collection) override {
    answer_->application = *collection.FindApplication(application_);
    reached_.assign(collection.methods[answer_->application].size(), false);
  }

  void Use(const UsableRow& row) override {
    ++answer_->usableRows;
    for (std::uint32_t method : *row.covered) reached_[method] = true;
  }

  void Finish() {
    for (std::size_t m = 0; m < reached_.size(); ++m) {
      if (!reached_[m]) {
        answer_->methods.push_back(static_cast<std::uint32_t>(m));
      }
    }
  }

 private:
  const std::string& application_;
  UncoveredAnswer* answer_;
  std::vector<bool> reached_;
};

}  // namespace

std::string QualifiedMethodName(std::string_view line) {
  std::size_t method = line.find(';');
  if (method == std::string_view::npos) return "";
  std::size_t scope = line.find(';', method + 1);
  if (scope == std::string_view::npos) return "";
  std::string_view name = line.substr(method + 1, scope - method - 1);
  // A line may go on with further fields (a trace file's calls).
  std::string_view owner = line.substr(scope + 1);
  owner = owner.substr(0, owner.find(';'));
  if (owner.empty()) return std::string(name);
  std::string qualified;
  qualified.reserve(owner.size() + 2 + name.size());
  qualified.append(owner).append("::").append(name);
  return qualified;
}

bool FindTestsFor(const Locations& locations, const std::string& application,
                  const std::string& pattern, bool ignoreCase,
                  TestsForAnswer* answer, std::string* error) {
  TestsForSink sink(application, pattern, ignoreCase, answer);
  if (!CollectResults(locations, application, &sink, &answer->collection,
                      error)) {
    return false;
  }
  for (std::size_t i = 0; i < answer->tests.size(); ++i) {
    answer->tests[i].test = answer->collection.tests[sink.testIndex()[i]];
  }
  return true;
}

bool FindUncovered(const Locations& locations, const std::string& application,
                   UncoveredAnswer* answer, std::string* error) {
  UncoveredSink sink(application, answer);
  if (!CollectResults(locations, application, &sink, &answer->collection,
                      error)) {
    return false;
  }
  sink.Finish();
  return true;
}

}  // namespace ostrivel::report
