#include "tools/report/impact.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "formats/method_catalog.h"
#include "tools/report/debug_lines.h"
#include "tools/report/impact_index.h"

namespace ostrivel::report {

namespace {

namespace fs = std::filesystem;

// The path components of "path", lexically normal, without "." and a
// leading "/".
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  for (const fs::path& part : fs::path(path).lexically_normal()) {
    std::string text = part.string();
    if (text.empty() || text == "." || text == "/") continue;
    parts.push_back(std::move(text));
  }
  return parts;
}

bool EndsWithComponents(const std::vector<std::string>& whole,
                        const std::vector<std::string>& tail) {
  return !tail.empty() && tail.size() <= whole.size() &&
         std::equal(tail.rbegin(), tail.rend(), whole.rbegin());
}

// Whether a diff's path names a file of the debug information.
class SourcePaths {
 public:
  // "root" empty: a diff path names the files whose last components it is.
  explicit SourcePaths(const std::string& root) {
    if (root.empty()) return;
    std::error_code code;
    roots_.push_back(Components(fs::absolute(root, code).string()));
    roots_.push_back(Components(fs::weakly_canonical(root, code).string()));
  }

  bool Same(const std::vector<std::string>& diffPath,
            const std::vector<std::string>& debugFile) const {
    if (roots_.empty()) return EndsWithComponents(debugFile, diffPath);
    for (const std::vector<std::string>& root : roots_) {
      if (debugFile.size() == root.size() + diffPath.size() &&
          std::equal(root.begin(), root.end(), debugFile.begin()) &&
          std::equal(
              diffPath.begin(), diffPath.end(),
              debugFile.begin() + static_cast<std::ptrdiff_t>(root.size()))) {
        return true;
      }
    }
    return false;
  }

 private:
  std::vector<std::vector<std::string>> roots_;
};

// One program with its debug information and the list it counts into.
struct Program : ListedProgram {
  std::uint32_t applicationIndex = 0;  // into Lists::applications
  fs::file_time_type modified;
  // Per debug file: its path components.
  std::vector<std::vector<std::string>> fileParts;
};

std::string LineRanges(const std::vector<std::uint32_t>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t j = i;
    while (j + 1 < lines.size() && lines[j + 1] == lines[j] + 1) ++j;
    if (!text.empty()) text += ",";
    text += j == i ? fmt::format("{}", lines[i])
                   : fmt::format("{}-{}", lines[i], lines[j]);
    i = j + 1;
  }
  return text;
}

// The method lists, as the results will know them.
struct Lists {
  std::vector<std::string> applications;  // ascending
  std::vector<const std::vector<std::string>*> methods;
  std::unordered_map<std::string, const std::vector<std::string>*> byName;
  std::vector<ListFile> files;

  // The index of an application that has a list.
  std::uint32_t Index(const std::string& name) const {
    return static_cast<std::uint32_t>(
        std::lower_bound(applications.begin(), applications.end(), name) -
        applications.begin());
  }
};

// Reads the program "binary" and finds the list it counts into. False with
// a message in "*error" when it cannot be used at all; a list written for
// another build adds a reason to "*reasons".
bool OpenProgram(const ImpactBinary& binary, const Locations& locations,
                 const Lists& lists, Program* program,
                 std::vector<std::string>* reasons, std::string* error) {
  if (!OpenListedProgram(binary, locations.methodsDirectory, lists.files,
                         lists.byName, program, error)) {
    return false;
  }
  std::error_code code;
  program->modified = fs::last_write_time(binary.path, code);
  program->applicationIndex = lists.Index(program->application);
  for (const ListFile* list : program->lists) {
    std::string written = FirstLine(list->path + ".build-id");
    if (!written.empty() && !program->buildId.empty() &&
        written != program->buildId && !program->inModuleTable) {
      reasons->push_back(fmt::format(
          "the method list \"{}\" was written for another build than "
          "\"{}\": the traces may not show what it runs now",
          list->path, binary.path));
    }
  }
  for (const std::string& file : program->lines.files()) {
    program->fileParts.push_back(Components(file));
  }
  return true;
}

}  // namespace

bool FindImpact(const Locations& locations, const ImpactOptions& options,
                const std::vector<FileChange>& changes, ImpactAnswer* answer,
                std::string* error) {
  // The applications as the results will know them: every list, by name.
  formats::MethodCatalog catalog;
  if (!formats::LoadMethodCatalog(locations.methodsDirectory, &catalog,
                                  error)) {
    return false;
  }
  Lists lists;
  for (const auto& [name, lines] : catalog.applications) {
    lists.applications.push_back(name);
    lists.methods.push_back(&lines);
    lists.byName.emplace(name, &lines);
  }
  if (!FindListFiles(locations.methodsDirectory, &lists.files, error)) {
    return false;
  }

  std::vector<Program> programs(options.binaries.size());
  for (std::size_t b = 0; b < programs.size(); ++b) {
    if (!OpenProgram(options.binaries[b], locations, lists, &programs[b],
                     &answer->reasons, error)) {
      return false;
    }
  }

  // Changed methods, and per application which position is which.
  std::vector<std::vector<std::int32_t>> changedAt(lists.applications.size());
  auto addChanged = [&](const Program& program, std::uint32_t function) {
    bool listed = false;
    for (std::uint32_t position : program.Positions(function)) {
      listed = true;
      std::vector<std::int32_t>& at = changedAt[program.applicationIndex];
      if (at.empty())
        at.assign(lists.methods[program.applicationIndex]->size(), -1);
      if (at[position] >= 0) continue;
      at[position] = static_cast<std::int32_t>(answer->changed.size());
      const DebugLines::Function& info = program.lines.functions()[function];
      answer->changed.push_back(
          {program.applicationIndex, position,
           info.file >= 0 ? program.lines.files()[info.file] : "", info.line,
           0});
    }
    return listed;
  };

  SourcePaths paths(options.sourceRoot);
  std::vector<std::uint32_t> found;
  for (const FileChange& change : changes) {
    if (change.IsNew()) {
      answer->reasons.push_back(fmt::format(
          "\"{}\" is a new file, which no debug information describes",
          change.newPath));
      continue;
    }
    if (change.changed.empty() && change.insertedAfter.empty() &&
        !change.binary) {
      continue;  // renamed, or its mode changed
    }
    // The debug files it is, per program.
    std::vector<std::vector<std::uint32_t>> files(programs.size());
    bool described = false;
    std::vector<std::string> diffParts = Components(change.oldPath);
    for (std::size_t p = 0; p < programs.size(); ++p) {
      for (std::uint32_t f = 0; f < programs[p].fileParts.size(); ++f) {
        if (paths.Same(diffParts, programs[p].fileParts[f])) {
          files[p].push_back(f);
          described = true;
        }
      }
    }
    if (!described) {
      answer->reasons.push_back(fmt::format(
          "\"{}\" changed, and no debug information describes it (a build "
          "or data file, or a file no listed method comes from)",
          change.Path()));
      continue;
    }
    if (change.binary) {
      answer->reasons.push_back(fmt::format(
          "\"{}\" changed as a binary file: its lines cannot be told",
          change.Path()));
      continue;
    }
    std::vector<std::uint32_t> unmapped;
    std::vector<std::uint32_t> unmappedInsertions;
    for (bool inserted : {false, true}) {
      for (std::uint32_t line :
           inserted ? change.insertedAfter : change.changed) {
        bool listed = false;
        for (std::size_t p = 0; p < programs.size(); ++p) {
          for (std::uint32_t f : files[p]) {
            found.clear();
            programs[p].lines.FunctionsAt(f, line, inserted, &found);
            for (std::uint32_t function : found) {
              listed = addChanged(programs[p], function) || listed;
            }
          }
        }
        if (!listed) (inserted ? unmappedInsertions : unmapped).push_back(line);
      }
    }
    if (!unmapped.empty()) {
      answer->reasons.push_back(fmt::format(
          "\"{}\" line {}: changed outside every listed method (a new "
          "function, a global initialiser, a macro, or lines outside any "
          "function)",
          change.Path(), LineRanges(unmapped)));
    }
    if (!unmappedInsertions.empty()) {
      answer->reasons.push_back(fmt::format(
          "\"{}\": lines inserted after line {} lie outside every listed "
          "method (a new function, a global initialiser, a macro, or lines "
          "outside any function)",
          change.Path(), LineRanges(unmappedInsertions)));
    }
  }

  std::vector<MethodAt> wanted;
  for (const ChangedMethod& method : answer->changed) {
    wanted.emplace_back(method.application, method.method);
  }
  RunReach reach;
  std::vector<std::vector<std::uint32_t>> reaching(wanted.size());
  std::error_code noResults;
  if (!fs::exists(locations.results, noResults)) {
    // No test has run yet: nothing can be said for any change.
    reach.collection.applications = lists.applications;
    for (const auto* lines : lists.methods) {
      reach.collection.methods.push_back(*lines);
    }
    reach.rowsOf.assign(lists.applications.size(), 0);
    reach.oldestTrace.assign(lists.applications.size(), std::nullopt);
  } else if (!ReadReach(locations, options.useIndex, wanted, &reach, &reaching,
                        error)) {
    return false;
  }
  answer->collection = std::move(reach.collection);
  answer->usableRows = reach.usableRows;
  answer->indexProblem = std::move(reach.indexProblem);
  // The lists were read twice; the results know them by the same names.
  if (answer->collection.applications != lists.applications) {
    *error = fmt::format(
        "the method lists in \"{}\" changed while they were "
        "read",
        locations.methodsDirectory);
    return false;
  }

  if (answer->usableRows == 0) {
    answer->reasons.push_back(fmt::format(
        "no trace data: no usable row in \"{}\"", locations.results));
  }
  std::set<std::uint32_t> reported;
  for (const Program& program : programs) {
    if (answer->usableRows > 0 && reach.rowsOf[program.applicationIndex] == 0 &&
        reported.insert(program.applicationIndex).second) {
      answer->reasons.push_back(fmt::format(
          "no trace data of \"{}\": no usable row in \"{}\"",
          lists.applications[program.applicationIndex], locations.results));
    }
    const std::optional<TraceTime>& oldest =
        reach.oldestTrace[program.applicationIndex];
    if (!oldest) continue;
    if (program.modified > oldest->modified) {
      answer->reasons.push_back(fmt::format(
          "\"{}\" is newer than the trace file \"{}\": the traces may not "
          "show what it runs now",
          program.path, oldest->path));
    }
    for (const ListFile& list : lists.files) {
      std::error_code code;
      fs::file_time_type modified = fs::last_write_time(list.path, code);
      if (list.application == lists.applications[program.applicationIndex] &&
          !code && modified > oldest->modified) {
        answer->reasons.push_back(fmt::format(
            "the method list \"{}\" is newer than the trace file \"{}\": the "
            "traces may not show what it runs now",
            list.path, oldest->path));
      }
    }
  }
  std::set<std::string> known(answer->collection.tests.begin(),
                              answer->collection.tests.end());
  for (const RefusedRow& row : answer->collection.refused) {
    std::string test = row.row.substr(0, row.row.find(';'));
    if (!test.empty() && known.insert(test).second) {
      answer->untraced.push_back(std::move(test));
    }
  }
  // In the order found, each once.
  std::set<std::string> seen;
  std::erase_if(answer->reasons, [&](const std::string& reason) {
    return !seen.insert(reason).second;
  });

  std::vector<ImpactedTest> tests(answer->collection.tests.size());
  for (std::size_t t = 0; t < tests.size(); ++t) {
    tests[t].runtime = reach.runtime[t];
    tests[t].runtimeText = std::move(reach.runtimeText[t]);
  }
  for (std::uint32_t m = 0; m < reaching.size(); ++m) {
    for (std::uint32_t t : reaching[m]) tests[t].methods.push_back(m);
  }
  for (std::size_t t = 0; t < tests.size(); ++t) {
    ImpactedTest& test = tests[t];
    if (test.methods.empty()) continue;
    for (std::uint32_t method : test.methods) ++answer->changed[method].tests;
    test.name = answer->collection.tests[t];
    answer->tests.push_back(std::move(test));
  }
  std::stable_sort(answer->tests.begin(), answer->tests.end(),
                   [](const ImpactedTest& a, const ImpactedTest& b) {
                     if (a.methods.size() != b.methods.size()) {
                       return a.methods.size() > b.methods.size();
                     }
                     return a.runtime < b.runtime;
                   });
  return true;
}

}  // namespace ostrivel::report
