#include "tools/report/merge_runs.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "formats/method_catalog.h"
#include "formats/method_list_format.h"
#include "formats/result_format.h"
#include "platform/operations.h"
#include "tools/report/report_command.h"

namespace ostrivel::report {

namespace {

namespace fs = std::filesystem;

// One run being merged.
struct Run {
  std::string name;  // as given on the command line
  Locations locations;
  bool hasMethods = false;
  formats::MethodCatalog catalog;
  // Every line of the result file but the headers, without line ends.
  std::vector<std::string> rows;
};

// Nothing is usable from the rows here; the checks only report.
class NoSink : public RowSink {
 public:
  void Start(const Collection&) override {}
  void Use(const UsableRow&) override {}
};

std::string RowKey(std::string_view test, std::string_view application) {
  std::string key(test);
  key.push_back('\0');
  key.append(application);
  return key;
}

std::string WithSlash(std::string path) {
  if (!path.empty() && path.back() != '/' && path.back() != '\\') {
    path.push_back('/');
  }
  return path;
}

// The result file's lines but the headers. A last line without its line
// end is kept: the library, appending behind such a line, ends it too.
bool ReadRows(const std::string& path, std::vector<std::string>* rows,
              std::string* error) {
  std::error_code code;
  if (!fs::is_regular_file(path, code)) {
    *error = fmt::format("the result file \"{}\" cannot be read", path);
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == formats::kResultHeader) continue;
    rows->push_back(line);
  }
  if (in.bad() || !in.eof()) {
    *error = fmt::format("the result file \"{}\" could not be read to its end",
                         path);
    return false;
  }
  return true;
}

// Writes "bytes" to a new file at "path".
bool WriteNewFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

// The trace file's name relative to the merged folder, or nothing when the
// test or application name would lead it out of the folder.
std::optional<fs::path> TraceName(std::string_view test,
                                  std::string_view application) {
  fs::path name = fs::path(fmt::format("{}_{}_trace.csv", test, application))
                      .lexically_normal();
  if (name.has_root_path() || name.empty() || *name.begin() == "..") {
    return std::nullopt;
  }
  return name;
}

class Merger {
 public:
  Merger(std::string into, std::ostream& out, std::ostream& err)
      : into_(std::move(into)), out_(out), err_(err) {}

  ~Merger() {
    // A merge that failed part way leaves nothing of its own behind.
    if (!temporary_.empty()) {
      std::error_code ignored;
      fs::remove_all(temporary_, ignored);
    }
  }

  int Merge(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      Run run;
      run.name = name;
      std::string error;
      std::optional<Locations> locations = RunLocations(name, &error);
      if (!locations) return Fail(error);
      run.locations = *locations;
      if (!ReadRows(run.locations.results, &run.rows, &error)) {
        return Fail(error);
      }
      if (!LoadMethods(&run)) return kCannotRead;
      runs_.push_back(std::move(run));
    }
    if (!CompareMethodLists() || !CheckTarget() || !MakeTemporary() ||
        !CopyMethodLists()) {
      return kCannotRead;
    }
    std::size_t unusable = 0;
    for (const Run& run : runs_) {
      if (!CheckRows(run, &unusable)) return kCannotRead;
    }
    std::size_t replaced = FindLatestRuns();
    std::size_t rows = 0;
    if (!WriteResults(&rows) || !CopyTraces() || !Finish()) {
      return kCannotRead;
    }
    fmt::print(out_,
               "ostrivel-report: merged {} runs into {} ({} rows, {} trace "
               "files, {} applications with method lists; {} rows not used, "
               "{} replaced by later runs)\n",
               runs_.size(), into_, rows, traces_, lists_.size(), unusable,
               replaced);
    return kDone;
  }

 private:
  int Fail(const std::string& message) {
    fmt::print(err_, "ostrivel-report: merge: {}\n", message);
    return kCannotRead;
  }

  bool LoadMethods(Run* run) {
    std::error_code code;
    if (!fs::exists(run->locations.methodsDirectory, code)) return true;
    std::string error;
    if (!formats::LoadMethodCatalog(run->locations.methodsDirectory,
                                    &run->catalog, &error)) {
      Fail(error);
      return false;
    }
    for (const std::string& problem : run->catalog.problems) {
      fmt::print(err_, "ostrivel-report: {}\n", problem);
    }
    run->hasMethods = true;
    return true;
  }

  // One list per application over all runs: rows of one run are checked
  // against another's list, so lists that differ would make that check, and
  // the merged folder, a lie.
  bool CompareMethodLists() {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      for (const auto& [application, lines] : runs_[i].catalog.applications) {
        auto [entry, added] = lists_.try_emplace(application, i);
        if (added) continue;
        const Run& first = runs_[entry->second];
        if (first.catalog.applications.at(application) != lines) {
          Fail(fmt::format(
              "\"{}\" and \"{}\" hold different method lists for \"{}\": "
              "only runs of the same build can be merged",
              first.name, runs_[i].name, application));
          return false;
        }
      }
    }
    return true;
  }

  bool CheckTarget() {
    std::error_code code;
    fs::file_status status = fs::status(into_, code);
    if (!fs::exists(status)) return true;
    if (fs::is_directory(status) && fs::is_empty(into_, code) && !code) {
      return true;
    }
    Fail(fmt::format(
        "\"{}\" exists and is not an empty folder: nothing is overwritten; "
        "name a new or empty folder",
        into_));
    return false;
  }

  bool MakeTemporary() {
    std::string base = into_;
    while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) {
      base.pop_back();
    }
    std::error_code code;
    fs::path parent = fs::path(base).parent_path();
    if (!parent.empty()) fs::create_directories(parent, code);
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::string candidate = fmt::format("{}.merging.{}", base, attempt);
      if (fs::create_directory(candidate, code)) {
        temporary_ = candidate;
        fs::create_directory(temporary_ / "methods", code);
        if (code) break;
        return true;
      }
    }
    Fail(
        fmt::format("no temporary folder can be created beside \"{}\"", into_));
    return false;
  }

  std::string MergedMethods() const {
    return (temporary_ / "methods").string() + "/";
  }

  // Copies the method-list files of each application from the first run
  // that holds its list, renaming a file whose name another run's file took.
  bool CopyMethodLists() {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      const Run& run = runs_[i];
      if (!run.hasMethods) continue;
      std::string directory = WithSlash(run.locations.methodsDirectory);
      platform::DirectoryListing listing =
          platform::Current().listDirectory(directory);
      for (const platform::DirectoryEntry& entry : listing.entries) {
        if (entry.isDirectory || !formats::IsMethodListName(entry.name)) {
          continue;
        }
        std::string ignored;
        auto file =
            formats::ReadMethodListFile(directory + entry.name, &ignored);
        if (!file) continue;
        auto owner = lists_.find(file->application);
        if (owner == lists_.end() || owner->second != i) continue;
        std::string name = entry.name;
        std::error_code code;
        for (int k = 1; fs::exists(temporary_ / "methods" / name, code); ++k) {
          name = fmt::format("{}_{}", k, entry.name);
        }
        fs::copy_file(directory + entry.name, temporary_ / "methods" / name,
                      code);
        if (code) {
          Fail(fmt::format("\"{}\" cannot be copied: {}",
                           directory + entry.name, code.message()));
          return false;
        }
      }
    }
    // The library appends the files of one application in the order it
    // lists them, which the copies need not keep.
    formats::MethodCatalog merged;
    std::string error;
    if (!formats::LoadMethodCatalog(MergedMethods(), &merged, &error)) {
      Fail(error);
      return false;
    }
    for (const auto& [application, run] : lists_) {
      auto found = merged.applications.find(application);
      if (found == merged.applications.end() ||
          found->second != runs_[run].catalog.applications.at(application)) {
        Fail(fmt::format(
            "the method list of \"{}\" from \"{}\" does not read the same "
            "once copied (it is spread over several files)",
            application, runs_[run].name));
        return false;
      }
    }
    return true;
  }

  // The report's own checks, against the merged method lists: a run that
  // carried no lists is checked against the others'.
  bool CheckRows(const Run& run, std::size_t* unusable) {
    Locations locations = run.locations;
    locations.methodsDirectory = MergedMethods();
    NoSink sink;
    Collection collection;
    std::string error;
    if (!CollectResults(locations, std::nullopt, &sink, &collection, &error)) {
      Fail(error);
      return false;
    }
    for (const RefusedRow& row : collection.refused) {
      fmt::print(err_, "ostrivel-report: {}:{}: row not used: {}: {}\n",
                 run.locations.results, row.line, row.reason, row.row);
    }
    *unusable += collection.refused.size();
    return true;
  }

  // Which run each test and application is taken from: the last that has
  // it. Returns the number of replacements.
  std::size_t FindLatestRuns() {
    std::size_t replaced = 0;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      std::set<std::string> seen;
      for (const std::string& text : runs_[i].rows) {
        std::string ignored;
        std::optional<formats::ResultRow> row =
            formats::SplitResultRow(text, &ignored);
        if (!row) continue;
        std::string key = RowKey(row->test, row->application);
        if (!seen.insert(key).second) continue;
        auto [entry, added] = latest_.try_emplace(key, i);
        if (!added) {
          ++replaced;
          fmt::print(err_,
                     "ostrivel-report: merge: \"{}\" of \"{}\" from \"{}\" "
                     "replaces the one from \"{}\"\n",
                     row->test, row->application, runs_[i].name,
                     runs_[entry->second].name);
          entry->second = i;
        }
      }
    }
    return replaced;
  }

  bool WriteResults(std::size_t* rows) {
    std::string bytes(formats::kResultHeader);
    bytes += "\r\n";
    for (const Run& run : runs_) {
      for (const std::string& row : run.rows) {
        bytes += row;
        bytes += "\r\n";
        ++*rows;
      }
    }
    if (!WriteNewFile((temporary_ / "result.csv").string(), bytes)) {
      Fail(fmt::format("\"{}\" cannot be written",
                       (temporary_ / "result.csv").string()));
      return false;
    }
    return true;
  }

  // The trace file of each test and application from the run its row is
  // taken from; an earlier run's would not match that row.
  bool CopyTraces() {
    std::set<std::string> done;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      for (const std::string& text : runs_[i].rows) {
        std::string ignored;
        std::optional<formats::ResultRow> row =
            formats::SplitResultRow(text, &ignored);
        if (!row) continue;
        std::string key = RowKey(row->test, row->application);
        if (latest_.at(key) != i || !done.insert(key).second) continue;
        std::string source =
            TracePath(runs_[i].locations, row->test, row->application);
        std::error_code code;
        if (!fs::is_regular_file(source, code)) continue;
        std::optional<fs::path> name = TraceName(row->test, row->application);
        if (!name) {
          fmt::print(err_,
                     "ostrivel-report: merge: \"{}\" is not copied: its "
                     "name leads out of the merged folder\n",
                     source);
          continue;
        }
        fs::path target = temporary_ / *name;
        if (name->has_parent_path()) {
          fs::create_directories(target.parent_path(), code);
        }
        fs::copy_file(source, target, fs::copy_options::overwrite_existing,
                      code);
        if (code) {
          Fail(fmt::format("\"{}\" cannot be copied: {}", source,
                           code.message()));
          return false;
        }
        ++traces_;
      }
    }
    return true;
  }

  bool Finish() {
    std::error_code code;
    // Only an empty folder can be here (CheckTarget); rename cannot replace
    // a folder on every platform.
    if (fs::exists(into_, code)) fs::remove(into_, code);
    fs::rename(temporary_, into_, code);
    if (code) {
      Fail(fmt::format("\"{}\" cannot be renamed to \"{}\": {}",
                       temporary_.string(), into_, code.message()));
      return false;
    }
    temporary_.clear();
    return true;
  }

  std::string into_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<Run> runs_;
  // Application -> the first run holding its list.
  std::map<std::string, std::size_t> lists_;
  // Test and application -> the run its row is taken from.
  std::unordered_map<std::string, std::size_t> latest_;
  fs::path temporary_;
  std::size_t traces_ = 0;
};

}  // namespace

std::optional<Locations> RunLocations(const std::string& run,
                                      std::string* error) {
  std::error_code code;
  if (fs::is_directory(run, code)) {
    std::string folder = WithSlash(run);
    return Locations{folder + "result.csv", folder, folder + "methods/"};
  }
  SourceOptions options;
  if (fs::is_regular_file(run, code)) {
    std::ifstream in(run, std::ios::binary);
    std::string first;
    if (std::getline(in, first) && !first.empty() && first.back() == '\r') {
      first.pop_back();
    }
    if (first == formats::kResultHeader) options.results = run;
  }
  if (options.results.empty()) options.config = run;
  return ResolveLocations(options, error);
}

int RunMerge(const std::string& into, const std::vector<std::string>& runs,
             std::ostream& out, std::ostream& err) {
  Merger merger(into, out, err);
  return merger.Merge(runs);
}

}  // namespace ostrivel::report
