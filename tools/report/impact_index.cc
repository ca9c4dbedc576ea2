#include "tools/report/impact_index.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <string_view>

#include <fmt/format.h>

#include "formats/method_catalog.h"
#include "formats/method_list_format.h"
#include "platform/operations.h"

namespace ostrivel::report {

namespace {

namespace fs = std::filesystem;

// The index, in the byte order of the machine that wrote it (a machine of
// the other order finds the check value wrong and writes its own):
//   magic, u32 check value, u64 header length, u64 header checksum, the
//   header (below), then per
//   application its methods + 1 u64 file offsets: where the tests of each
//   method start, and where the last one's end; then those tests, u32 each.
// The header: the locations, the states of the result file and the method
// lists, the applications and their list lengths, the tests with their
// runtimes, the refused rows, and the usable rows with their trace files'
// states.
constexpr std::string_view kMagic = "ostrivel reach 1";
constexpr std::uint32_t kByteOrder = 0x01020304;

// FNV-1a over the header: a damaged name or number there would otherwise
// pass for a fact.
std::uint64_t Checksum(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  }
  return hash;
}

// A file's size and modification time; size -1 when it is not there.
struct FileState {
  std::int64_t size = -1;
  std::int64_t modified = 0;  // nanoseconds of the file clock

  bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& name) {
  // One path for both questions: making one splits the name, which costs
  // as much as asking when there are tens of thousands of trace files.
  const fs::path path(name);
  std::error_code code;
  std::uintmax_t size = fs::file_size(path, code);
  if (code) return {};
  fs::file_time_type modified = fs::last_write_time(path, code);
  if (code) return {};
  return {static_cast<std::int64_t>(size),
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              modified.time_since_epoch())
              .count()};
}

fs::file_time_type TimeOf(const FileState& state) {
  return fs::file_time_type(
      std::chrono::duration_cast<fs::file_time_type::duration>(
          std::chrono::nanoseconds(state.modified)));
}

// The method-list files of "directory" (as the library selects them), by
// name.
std::vector<std::pair<std::string, FileState>> ListStates(
    const std::string& directory) {
  std::vector<std::pair<std::string, FileState>> states;
  platform::DirectoryListing listing =
      platform::Current().listDirectory(directory);
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (const platform::DirectoryEntry& entry : listing.entries) {
    if (entry.isDirectory || !formats::IsMethodListName(entry.name)) continue;
    states.emplace_back(entry.name, StateOf(prefix + entry.name));
  }
  std::sort(states.begin(), states.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return states;
}

// The trace file a refused row names, if its first two fields can be told:
// one that appears or changes can make the row usable.
FileState RefusedTraceState(const Locations& locations,
                            const std::string& row) {
  std::size_t first = row.find(';');
  if (first == std::string::npos) return {};
  std::size_t second = row.find(';', first + 1);
  if (second == std::string::npos) return {};
  return StateOf(
      TracePath(locations, std::string_view(row).substr(0, first),
                std::string_view(row).substr(first + 1, second - first - 1)));
}

struct RowRecord {
  std::uint32_t test = 0;
  std::uint32_t application = 0;
  FileState trace;
};

// What one reading of a run found, from the files or from the index.
struct Recorded {
  FileState results;
  std::vector<std::pair<std::string, FileState>> lists;
  std::vector<RowRecord> rows;  // usable rows, in file order
  std::vector<FileState> refusedTraces;
  std::vector<double> runtime;  // per test
  std::vector<std::string> runtimeText;
};

// Keeps the usable rows, and for some methods (or all of them) the tests
// that reach them.
class RecordingSink : public RowSink {
 public:
  RecordingSink(const Locations& locations, Recorded* recorded,
                bool everyMethod, const std::vector<MethodAt>& wanted)
      : locations_(locations),
        recorded_(recorded),
        everyMethod_(everyMethod),
        wanted_(wanted) {}

  void Start(const Collection& collection) override {
    collection_ = &collection;
    slotAt_.resize(collection.applications.size());
    std::uint32_t slots = 0;
    if (everyMethod_) {
      for (std::size_t a = 0; a < slotAt_.size(); ++a) {
        slotAt_[a].resize(collection.methods[a].size());
        for (std::int32_t& slot : slotAt_[a]) {
          slot = static_cast<std::int32_t>(slots++);
        }
      }
    } else {
      for (const auto& [application, position] : wanted_) {
        if (application >= slotAt_.size() ||
            position >= collection.methods[application].size()) {
          continue;
        }
        std::vector<std::int32_t>& at = slotAt_[application];
        if (at.empty()) at.assign(collection.methods[application].size(), -1);
        if (at[position] < 0) at[position] = static_cast<std::int32_t>(slots++);
      }
    }
    postings_.resize(slots);
  }

  void Use(const UsableRow& row) override {
    const std::string& test = collection_->tests[row.test];
    recorded_->rows.push_back(
        {row.test, row.application,
         StateOf(TracePath(locations_, test,
                           collection_->applications[row.application]))});
    if (recorded_->runtime.size() <= row.test) {
      recorded_->runtime.resize(row.test + 1);
      recorded_->runtimeText.resize(row.test + 1);
    }
    std::string& text = recorded_->runtimeText[row.test];
    if (text.empty() || row.runtime > recorded_->runtime[row.test]) {
      recorded_->runtime[row.test] = row.runtime;
      text = std::string(row.runtimeText);
    }
    const std::vector<std::int32_t>& at = slotAt_[row.application];
    if (at.empty()) return;
    for (std::uint32_t position : *row.covered) {
      if (position < at.size() && at[position] >= 0) {
        postings_[static_cast<std::size_t>(at[position])].push_back(row.test);
      }
    }
  }

  // The tests of each slot, ascending (each test has one latest row per
  // application, so no test comes twice).
  void SortPostings() {
    for (std::vector<std::uint32_t>& tests : postings_) {
      std::sort(tests.begin(), tests.end());
    }
  }

  // The tests reaching "method", empty when it has no slot.
  const std::vector<std::uint32_t>& TestsOf(const MethodAt& method) const {
    static const std::vector<std::uint32_t> kNone;
    if (method.first >= slotAt_.size()) return kNone;
    const std::vector<std::int32_t>& at = slotAt_[method.first];
    if (method.second >= at.size() || at[method.second] < 0) return kNone;
    return postings_[static_cast<std::size_t>(at[method.second])];
  }

 private:
  const Locations& locations_;
  Recorded* recorded_;
  bool everyMethod_;
  const std::vector<MethodAt>& wanted_;
  const Collection* collection_ = nullptr;
  std::vector<std::vector<std::int32_t>> slotAt_;
  std::vector<std::vector<std::uint32_t>> postings_;
};

// Fills the parts of "reach" that "recorded" tells.
void Reduce(const Locations& locations, const Recorded& recorded,
            RunReach* reach) {
  const Collection& collection = reach->collection;
  const std::size_t applications = collection.applications.size();
  reach->usableRows = recorded.rows.size();
  reach->rowsOf.assign(applications, 0);
  reach->oldestTrace.assign(applications, std::nullopt);
  for (const RowRecord& row : recorded.rows) {
    ++reach->rowsOf[row.application];
    if (row.trace.size < 0) continue;
    fs::file_time_type modified = TimeOf(row.trace);
    std::optional<TraceTime>& oldest = reach->oldestTrace[row.application];
    if (!oldest || modified < oldest->modified) {
      oldest = TraceTime{modified,
                         TracePath(locations, collection.tests[row.test],
                                   collection.applications[row.application])};
    }
  }
  reach->runtime = recorded.runtime;
  reach->runtimeText = recorded.runtimeText;
  reach->runtime.resize(collection.tests.size());
  reach->runtimeText.resize(collection.tests.size());
}

// Appends fixed-size numbers and strings in the machine's byte order.
class Writer {
 public:
  template <typename T>
  void Put(T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    text_.append(bytes, sizeof(T));
  }
  void Put(std::string_view text) {
    Put(static_cast<std::uint32_t>(text.size()));
    text_.append(text);
  }
  void Put(const FileState& state) {
    Put(state.size);
    Put(state.modified);
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

// Reads what Writer wrote; every read checks the bounds, and a failed one
// fails every later one.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  template <typename T>
  bool Get(T* value) {
    if (!ok_ || text_.size() < sizeof(T)) return ok_ = false;
    std::memcpy(value, text_.data(), sizeof(T));
    text_.remove_prefix(sizeof(T));
    return true;
  }
  bool Get(std::string* text) {
    std::uint32_t size = 0;
    if (!Get(&size) || text_.size() < size) return ok_ = false;
    text->assign(text_.substr(0, size));
    text_.remove_prefix(size);
    return true;
  }
  bool Get(FileState* state) {
    return Get(&state->size) && Get(&state->modified);
  }
  // A count of items of at least "itemBytes" each that the rest can hold.
  bool GetCount(std::uint32_t* count, std::size_t itemBytes) {
    return Get(count) &&
           (static_cast<std::size_t>(*count) <= text_.size() / itemBytes ||
            (ok_ = false));
  }
  bool ok() const { return ok_ && text_.empty(); }

 private:
  std::string_view text_;
  bool ok_ = true;
};

std::string Header(const Locations& locations, const Recorded& recorded,
                   const Collection& collection) {
  Writer out;
  out.Put(std::string_view(locations.results));
  out.Put(std::string_view(locations.tracePrefix));
  out.Put(std::string_view(locations.methodsDirectory));
  out.Put(recorded.results);
  out.Put(static_cast<std::uint32_t>(recorded.lists.size()));
  for (const auto& [name, state] : recorded.lists) {
    out.Put(std::string_view(name));
    out.Put(state);
  }
  out.Put(static_cast<std::uint32_t>(collection.applications.size()));
  for (std::size_t a = 0; a < collection.applications.size(); ++a) {
    out.Put(std::string_view(collection.applications[a]));
    out.Put(static_cast<std::uint32_t>(collection.methods[a].size()));
  }
  out.Put(static_cast<std::uint32_t>(collection.tests.size()));
  for (std::size_t t = 0; t < collection.tests.size(); ++t) {
    out.Put(std::string_view(collection.tests[t]));
    out.Put(t < recorded.runtime.size() ? recorded.runtime[t] : 0.0);
    out.Put(std::string_view(
        t < recorded.runtimeText.size() ? recorded.runtimeText[t] : ""));
  }
  out.Put(collection.replacedRows);
  out.Put(static_cast<std::uint32_t>(collection.refused.size()));
  for (std::size_t r = 0; r < collection.refused.size(); ++r) {
    const RefusedRow& row = collection.refused[r];
    out.Put(row.line);
    out.Put(std::string_view(row.reason));
    out.Put(std::string_view(row.row));
    out.Put(recorded.refusedTraces[r]);
  }
  out.Put(static_cast<std::uint32_t>(recorded.rows.size()));
  for (const RowRecord& row : recorded.rows) {
    out.Put(row.test);
    out.Put(row.application);
    out.Put(row.trace);
  }
  return std::move(out.text());
}

// Writes the index of a reading with every method's tests to "path" (a
// new file renamed over the old one); false with the reason in "*problem".
bool WriteIndex(const std::string& path, const Locations& locations,
                const Recorded& recorded, const Collection& collection,
                const RecordingSink& sink, std::string* problem) {
  std::string header = Header(locations, recorded, collection);
  Writer front;
  front.text().append(kMagic);
  front.Put(kByteOrder);
  front.Put(static_cast<std::uint64_t>(header.size()));
  front.Put(Checksum(header));
  front.text().append(header);
  header = {};
  std::uint64_t tables = 0;
  for (const std::vector<std::string>& methods : collection.methods) {
    tables += methods.size() + 1;
  }
  // The offset tables, then the tests.
  std::uint64_t offset = front.text().size() + 8 * tables;
  for (std::uint32_t a = 0; a < collection.methods.size(); ++a) {
    for (std::uint32_t p = 0; p <= collection.methods[a].size(); ++p) {
      front.Put(offset);
      if (p < collection.methods[a].size()) {
        offset += 4 * sink.TestsOf({a, p}).size();
      }
    }
  }

  std::random_device random;
  std::string temporary =
      fmt::format("{}.new-{:08x}{:08x}", path, random(), random());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(front.text().data(),
              static_cast<std::streamsize>(front.text().size()));
    for (std::uint32_t a = 0; a < collection.methods.size(); ++a) {
      for (std::uint32_t p = 0; p < collection.methods[a].size(); ++p) {
        const std::vector<std::uint32_t>& tests = sink.TestsOf({a, p});
        out.write(reinterpret_cast<const char*>(tests.data()),
                  static_cast<std::streamsize>(4 * tests.size()));
      }
    }
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      *problem = fmt::format("\"{}\" could not be written", temporary);
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, path, code);
  if (code) {
    fs::remove(temporary, code);
    *problem =
        fmt::format("\"{}\" could not be renamed to \"{}\"", temporary, path);
    return false;
  }
  return true;
}

// Reads the index at "path" when it is up to date for "locations", whose
// method lists "reach->collection" already holds. Nothing when it is
// missing, stale or damaged.
bool ReadIndex(const std::string& path, const Locations& locations,
               const std::vector<MethodAt>& wanted, RunReach* reach,
               Recorded* recorded,
               std::vector<std::vector<std::uint32_t>>* reaching) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string front(kMagic.size() + 20, '\0');
  if (!in.read(front.data(), static_cast<std::streamsize>(front.size())) ||
      front.compare(0, kMagic.size(), kMagic) != 0) {
    return false;
  }
  std::uint32_t byteOrder = 0;
  std::uint64_t headerSize = 0;
  std::memcpy(&byteOrder, front.data() + kMagic.size(), 4);
  std::uint64_t checksum = 0;
  std::memcpy(&headerSize, front.data() + kMagic.size() + 4, 8);
  std::memcpy(&checksum, front.data() + kMagic.size() + 12, 8);
  std::error_code code;
  const std::uintmax_t fileSize = fs::file_size(path, code);
  if (code || byteOrder != kByteOrder || fileSize < front.size() ||
      headerSize > fileSize - front.size()) {
    return false;
  }
  std::string header(static_cast<std::size_t>(headerSize), '\0');
  if (!in.read(header.data(), static_cast<std::streamsize>(header.size())) ||
      Checksum(header) != checksum) {
    return false;
  }

  // The inputs it was made from must be as they were.
  Reader read(header);
  std::string results, tracePrefix, methodsDirectory;
  read.Get(&results);
  read.Get(&tracePrefix);
  read.Get(&methodsDirectory);
  if (!read.Get(&recorded->results) || results != locations.results ||
      tracePrefix != locations.tracePrefix ||
      methodsDirectory != locations.methodsDirectory ||
      recorded->results != StateOf(locations.results)) {
    return false;
  }
  std::uint32_t count = 0;
  if (!read.GetCount(&count, 20)) return false;
  recorded->lists.resize(count);
  for (auto& [name, state] : recorded->lists) {
    if (!read.Get(&name) || !read.Get(&state)) return false;
  }
  if (recorded->lists != ListStates(locations.methodsDirectory)) return false;

  Collection& collection = reach->collection;
  if (!read.GetCount(&count, 8) || count != collection.applications.size()) {
    return false;
  }
  std::vector<std::uint64_t> tableStart(count);
  std::uint64_t tables = 0;
  for (std::uint32_t a = 0; a < count; ++a) {
    std::string name;
    std::uint32_t methods = 0;
    if (!read.Get(&name) || !read.Get(&methods) ||
        name != collection.applications[a] ||
        methods != collection.methods[a].size()) {
      return false;
    }
    tableStart[a] = front.size() + headerSize + 8 * tables;
    tables += methods + 1;
  }
  if (!read.GetCount(&count, 16)) return false;
  collection.tests.resize(count);
  recorded->runtime.resize(count);
  recorded->runtimeText.resize(count);
  for (std::uint32_t t = 0; t < count; ++t) {
    if (!read.Get(&collection.tests[t]) || !read.Get(&recorded->runtime[t]) ||
        !read.Get(&recorded->runtimeText[t])) {
      return false;
    }
  }
  if (!read.Get(&collection.replacedRows) || !read.GetCount(&count, 32)) {
    return false;
  }
  collection.refused.resize(count);
  recorded->refusedTraces.resize(count);
  for (std::uint32_t r = 0; r < count; ++r) {
    RefusedRow& row = collection.refused[r];
    if (!read.Get(&row.line) || !read.Get(&row.reason) || !read.Get(&row.row) ||
        !read.Get(&recorded->refusedTraces[r]) ||
        recorded->refusedTraces[r] != RefusedTraceState(locations, row.row)) {
      return false;
    }
  }
  if (!read.GetCount(&count, 24)) return false;
  recorded->rows.resize(count);
  for (RowRecord& row : recorded->rows) {
    if (!read.Get(&row.test) || !read.Get(&row.application) ||
        !read.Get(&row.trace) || row.test >= collection.tests.size() ||
        row.application >= collection.applications.size() ||
        row.trace !=
            StateOf(TracePath(locations, collection.tests[row.test],
                              collection.applications[row.application]))) {
      return false;
    }
  }
  if (!read.ok()) return false;

  // The tests of the methods asked about.
  reaching->assign(wanted.size(), {});
  for (std::size_t w = 0; w < wanted.size(); ++w) {
    const auto& [application, position] = wanted[w];
    if (application >= collection.applications.size() ||
        position >= collection.methods[application].size()) {
      continue;
    }
    std::uint64_t range[2] = {0, 0};
    in.seekg(static_cast<std::streamoff>(tableStart[application] +
                                         8 * std::uint64_t{position}));
    if (!in.read(reinterpret_cast<char*>(range), sizeof range) ||
        range[0] > range[1] || range[1] > fileSize ||
        (range[1] - range[0]) % 4 != 0 ||
        (range[1] - range[0]) / 4 > collection.tests.size()) {
      return false;
    }
    std::vector<std::uint32_t>& tests = (*reaching)[w];
    tests.resize(static_cast<std::size_t>((range[1] - range[0]) / 4));
    in.seekg(static_cast<std::streamoff>(range[0]));
    if (!in.read(reinterpret_cast<char*>(tests.data()),
                 static_cast<std::streamsize>(4 * tests.size()))) {
      return false;
    }
    for (std::size_t i = 0; i < tests.size(); ++i) {
      if (tests[i] >= collection.tests.size() ||
          (i > 0 && tests[i] <= tests[i - 1])) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

std::string ReachIndexPath(const Locations& locations) {
  return locations.results + ".impact-index";
}

bool ReadReach(const Locations& locations, bool useIndex,
               const std::vector<MethodAt>& wanted, RunReach* reach,
               std::vector<std::vector<std::uint32_t>>* reaching,
               std::string* error) {
  const std::string indexPath = ReachIndexPath(locations);
  if (useIndex) {
    formats::MethodCatalog catalog;
    if (!formats::LoadMethodCatalog(locations.methodsDirectory, &catalog,
                                    error)) {
      return false;
    }
    RunReach fromIndex;
    for (auto& [name, lines] : catalog.applications) {
      fromIndex.collection.applications.push_back(name);
      fromIndex.collection.methods.push_back(std::move(lines));
    }
    fromIndex.collection.methodListProblems = std::move(catalog.problems);
    Recorded recorded;
    if (ReadIndex(indexPath, locations, wanted, &fromIndex, &recorded,
                  reaching)) {
      Reduce(locations, recorded, &fromIndex);
      *reach = std::move(fromIndex);
      return true;
    }
  }

  // The states before reading: a file that changes while it is read makes
  // the index stale at once.
  Recorded recorded;
  recorded.results = StateOf(locations.results);
  recorded.lists = ListStates(locations.methodsDirectory);
  RecordingSink sink(locations, &recorded, useIndex, wanted);
  if (!CollectResults(locations, std::nullopt, &sink, &reach->collection,
                      error)) {
    return false;
  }
  sink.SortPostings();
  Reduce(locations, recorded, reach);
  reaching->clear();
  for (const MethodAt& method : wanted) {
    reaching->push_back(sink.TestsOf(method));
  }
  if (!useIndex) return true;
  for (const RefusedRow& row : reach->collection.refused) {
    recorded.refusedTraces.push_back(RefusedTraceState(locations, row.row));
  }
  if (StateOf(locations.results) != recorded.results) return true;
  WriteIndex(indexPath, locations, recorded, reach->collection, sink,
             &reach->indexProblem);
  return true;
}

}  // namespace ostrivel::report
