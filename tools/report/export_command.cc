#include "tools/report/export_command.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>

#include <boost/json.hpp>
#include <fmt/format.h>
#include <fmt/ostream.h>

#include "tools/report/export_places.h"
#include "tools/report/impact_command.h"
#include "tools/report/queries.h"
#include "tools/report/report_command.h"

namespace ostrivel::report {

namespace {

namespace fs = std::filesystem;

// A usable row, kept: the sink's pointers live only during Use().
struct KeptRow {
  std::uint32_t application = 0;
  std::uint32_t methods = 0;
  std::vector<std::uint32_t> covered;  // ascending
  std::vector<std::int32_t> calls;     // one per covered position
  std::int64_t traceLength = 0;
  double runtime = 0;

  std::int64_t CallsOf(std::uint32_t position) const {
    auto found = std::lower_bound(covered.begin(), covered.end(), position);
    if (found == covered.end() || *found != position) return 0;
    return calls[static_cast<std::size_t>(found - covered.begin())];
  }
};

class KeepingSink : public RowSink {
 public:
  void Start(const Collection&) override {}
  void Use(const UsableRow& row) override {
    if (rows_.size() <= row.test) rows_.resize(row.test + 1);
    rows_[row.test].push_back({row.application, row.methods, *row.covered,
                               *row.calls, row.traceLength, row.runtime});
  }
  // Per test (Collection::tests index): its rows, by application.
  std::vector<std::vector<KeptRow>>& rows() { return rows_; }

 private:
  std::vector<std::vector<KeptRow>> rows_;
};

// "ID;Method;Scope" split into its fields.
struct MethodFields {
  std::string_view id;
  std::string_view name;
  std::string_view scope;
};

MethodFields Fields(std::string_view line) {
  MethodFields fields;
  std::size_t first = line.find(';');
  fields.id = line.substr(0, first);
  if (first == std::string_view::npos) return fields;
  std::size_t second = line.find(';', first + 1);
  fields.name = line.substr(first + 1, second - first - 1);
  if (second != std::string_view::npos) {
    std::string_view scope = line.substr(second + 1);
    fields.scope = scope.substr(0, scope.find(';'));
  }
  return fields;
}

// LCOV's test names hold only [A-Za-z0-9_]: every other byte becomes "_",
// and a name taken already (in the order of the tests' first rows) gets
// "_2", "_3"... so that two tests never share a section name.
std::vector<std::string> LcovTestNames(const std::vector<std::string>& tests) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const std::string& test : tests) {
    std::string name = test.empty() ? "_" : test;
    for (char& c : name) {
      bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                  (c >= '0' && c <= '9') || c == '_';
      if (!word) c = '_';
    }
    std::string unique = name;
    for (int n = 2; !taken.insert(unique).second; ++n) {
      unique = fmt::format("{}_{}", name, n);
    }
    names.push_back(std::move(unique));
  }
  return names;
}

// The places of every application, merged over its programs (a list may
// count the functions of several modules).
struct Placed {
  // By Collection::applications index; empty for an application no
  // program was given for.
  std::vector<std::vector<MethodPlace>> methods;
  std::vector<std::vector<std::string>> binaries;
};

Placed Merge(const Collection& collection,
             const std::vector<ApplicationPlaces>& programs) {
  Placed placed;
  placed.methods.resize(collection.applications.size());
  placed.binaries.resize(collection.applications.size());
  for (const ApplicationPlaces& program : programs) {
    auto index = collection.FindApplication(program.application);
    if (!index) continue;
    std::vector<MethodPlace>& into = placed.methods[*index];
    into.resize(collection.methods[*index].size());
    for (std::size_t m = 0; m < into.size() && m < program.methods.size();
         ++m) {
      if (into[m].line == 0) into[m] = program.methods[m];
    }
    placed.binaries[*index].push_back(program.binary);
  }
  return placed;
}

// One function record of an SF section.
struct LcovFunction {
  std::uint32_t application = 0;
  std::uint32_t position = 0;
  std::uint32_t line = 0;
  std::string name;
};

// Per source file, its listed methods ordered by line, named uniquely:
// LCOV keys FNDA by name, and genhtml ends a name at the first ",", so
// commas become ";" (which no list's name holds), and a name met again in
// the file gets " (2)", " (3)"...
std::map<std::string, std::vector<LcovFunction>> LcovFiles(
    const Collection& collection, const Placed& placed) {
  std::map<std::string, std::vector<LcovFunction>> files;
  for (std::uint32_t a = 0; a < placed.methods.size(); ++a) {
    for (std::uint32_t m = 0; m < placed.methods[a].size(); ++m) {
      const MethodPlace& place = placed.methods[a][m];
      if (place.line == 0) continue;
      files[place.file].push_back({a, m, place.line, ""});
    }
  }
  for (auto& [file, functions] : files) {
    std::sort(functions.begin(), functions.end(),
              [](const LcovFunction& x, const LcovFunction& y) {
                return std::tie(x.line, x.application, x.position) <
                       std::tie(y.line, y.application, y.position);
              });
    std::set<std::string> taken;
    for (LcovFunction& function : functions) {
      const std::string& line =
          collection.methods[function.application][function.position];
      std::string name = QualifiedMethodName(line);
      if (name.empty()) name = line;
      std::replace(name.begin(), name.end(), ',', ';');
      std::string unique = name;
      for (int n = 2; !taken.insert(unique).second; ++n) {
        unique = fmt::format("{} ({})", name, n);
      }
      function.name = std::move(unique);
    }
  }
  return files;
}

std::string Lcov(const Collection& collection,
                 const std::vector<std::vector<KeptRow>>& rows,
                 const Placed& placed) {
  std::map<std::string, std::vector<LcovFunction>> files =
      LcovFiles(collection, placed);
  std::vector<std::string> names = LcovTestNames(collection.tests);
  std::string text;
  std::vector<const KeptRow*> rowOf(collection.applications.size());
  for (std::size_t t = 0; t < collection.tests.size(); ++t) {
    std::fill(rowOf.begin(), rowOf.end(), nullptr);
    if (t < rows.size()) {
      for (const KeptRow& row : rows[t]) rowOf[row.application] = &row;
    }
    bool started = false;
    for (const auto& [file, functions] : files) {
      // The functions of the applications this test ran, and their calls.
      std::vector<std::pair<const LcovFunction*, std::int64_t>> own;
      for (const LcovFunction& function : functions) {
        if (const KeptRow* row = rowOf[function.application]) {
          own.emplace_back(&function, row->CallsOf(function.position));
        }
      }
      if (own.empty()) continue;
      if (!started) text += fmt::format("TN:{}\n", names[t]);
      started = true;
      text += fmt::format("SF:{}\n", file);
      std::size_t hit = 0;
      // genhtml leaves out files without line records: each function's
      // line counts its calls.
      std::map<std::uint32_t, std::int64_t> lines;
      for (const auto& [function, calls] : own) {
        text += fmt::format("FN:{},{}\n", function->line, function->name);
        lines[function->line] += calls;
      }
      for (const auto& [function, calls] : own) {
        text += fmt::format("FNDA:{},{}\n", calls, function->name);
        if (calls > 0) ++hit;
      }
      text += fmt::format("FNF:{}\nFNH:{}\n", own.size(), hit);
      std::size_t linesHit = 0;
      for (const auto& [line, calls] : lines) {
        text += fmt::format("DA:{},{}\n", line, calls);
        if (calls > 0) ++linesHit;
      }
      text +=
          fmt::format("LF:{}\nLH:{}\nend_of_record\n", lines.size(), linesHit);
    }
  }
  return text;
}

boost::json::value Number(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

std::string Json(const Locations& locations, const Collection& collection,
                 const std::vector<std::vector<KeptRow>>& rows,
                 const Placed& placed) {
  boost::json::array applications;
  for (std::uint32_t a = 0; a < collection.applications.size(); ++a) {
    boost::json::array methods;
    const std::vector<std::string>& lines = collection.methods[a];
    for (std::uint32_t m = 0; m < lines.size(); ++m) {
      MethodFields fields = Fields(lines[m]);
      boost::json::object method{{"position", m},       {"id", fields.id},
                                 {"name", fields.name}, {"scope", fields.scope},
                                 {"file", nullptr},     {"line", nullptr}};
      if (m < placed.methods[a].size() && placed.methods[a][m].line != 0) {
        method["file"] = placed.methods[a][m].file;
        method["line"] = placed.methods[a][m].line;
      }
      methods.push_back(std::move(method));
    }
    boost::json::array binaries;
    for (const std::string& binary : placed.binaries[a]) {
      binaries.emplace_back(binary);
    }
    applications.push_back(
        boost::json::object{{"name", collection.applications[a]},
                            {"binaries", std::move(binaries)},
                            {"methods", std::move(methods)}});
  }
  std::vector<std::string> lcovNames = LcovTestNames(collection.tests);
  boost::json::array tests;
  for (std::size_t t = 0; t < collection.tests.size(); ++t) {
    boost::json::array ran;
    std::vector<KeptRow> own;
    if (t < rows.size()) own = rows[t];
    std::sort(own.begin(), own.end(), [](const KeptRow& x, const KeptRow& y) {
      return x.application < y.application;
    });
    for (const KeptRow& row : own) {
      boost::json::array reached;
      for (std::size_t k = 0; k < row.covered.size(); ++k) {
        reached.push_back(boost::json::object{{"position", row.covered[k]},
                                              {"calls", row.calls[k]}});
      }
      double coverage =
          row.methods == 0
              ? 0.0
              : 100.0 * static_cast<double>(row.covered.size()) / row.methods;
      ran.push_back(boost::json::object{
          {"name", collection.applications[row.application]},
          {"trace_length", row.traceLength},
          {"covered", row.covered.size()},
          {"coverage", coverage},
          {"runtime", Number(row.runtime)},
          {"methods", std::move(reached)}});
    }
    tests.push_back(boost::json::object{{"name", collection.tests[t]},
                                        {"lcov_name", lcovNames[t]},
                                        {"applications", std::move(ran)}});
  }
  boost::json::object document{{"results", locations.results},
                               {"applications", std::move(applications)},
                               {"tests", std::move(tests)}};
  return boost::json::serialize(document) + "\n";
}

// Writes "text" to "path" through a temporary name beside it, so that a
// reader never sees half a file.
bool WriteThroughTemporary(const std::string& path, const std::string& text,
                           std::string* error) {
  std::error_code code;
  std::string temporary;
  for (int n = 1;; ++n) {
    temporary = fmt::format("{}.writing.{}", path, n);
    if (!fs::exists(temporary, code)) break;
  }
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
      fs::remove(temporary, code);
      *error = fmt::format("cannot write \"{}\"", temporary);
      return false;
    }
  }
  fs::rename(temporary, path, code);
  if (code) {
    fs::remove(temporary, code);
    *error = fmt::format("cannot rename \"{}\" to \"{}\": {}", temporary, path,
                         code.message());
    return false;
  }
  return true;
}

}  // namespace

int RunExport(const Locations& locations, const ExportRequest& request,
              std::ostream& out, std::ostream& err) {
  std::string error;
  std::vector<ApplicationPlaces> programs;
  if (!FindMethodPlaces(locations.methodsDirectory,
                        ParseBinaries(request.binaries), &programs, &error)) {
    fmt::print(err, "ostrivel-report: export: {}\n", error);
    return kCannotRead;
  }
  KeepingSink sink;
  Collection collection;
  if (!CollectResults(locations, std::nullopt, &sink, &collection, &error)) {
    fmt::print(err, "ostrivel-report: export: {}\n", error);
    return kCannotRead;
  }
  for (const std::string& problem : collection.methodListProblems) {
    fmt::print(err, "ostrivel-report: {}\n", problem);
  }
  for (const RefusedRow& row : collection.refused) {
    fmt::print(err, "ostrivel-report: {}:{}: row not used: {}: {}\n",
               locations.results, row.line, row.reason, row.row);
  }
  if (collection.tests.empty()) {
    fmt::print(err,
               "ostrivel-report: export: no usable row in \"{}\": nothing "
               "to export\n",
               locations.results);
    return kCannotRead;
  }

  Placed placed = Merge(collection, programs);
  // Which methods no SF record can hold, per application that has rows.
  std::vector<bool> hasRows(collection.applications.size());
  for (const std::vector<KeptRow>& own : sink.rows()) {
    for (const KeptRow& row : own) hasRows[row.application] = true;
  }
  for (std::uint32_t a = 0; a < collection.applications.size(); ++a) {
    if (!hasRows[a]) continue;
    std::size_t total = collection.methods[a].size();
    if (placed.binaries[a].empty()) {
      fmt::print(err,
                 "ostrivel-report: export: no --binary for \"{}\": its {} "
                 "methods have no file and line\n",
                 collection.applications[a], total);
      continue;
    }
    std::size_t missing = static_cast<std::size_t>(
        std::count_if(placed.methods[a].begin(), placed.methods[a].end(),
                      [](const MethodPlace& p) { return p.line == 0; }));
    if (missing > 0) {
      std::vector<std::string> quoted;
      for (const std::string& binary : placed.binaries[a]) {
        quoted.push_back(fmt::format("\"{}\"", binary));
      }
      fmt::print(err,
                 "ostrivel-report: export: {} of the {} methods of \"{}\" "
                 "have no file and line in the debug information of {}\n",
                 missing, total, collection.applications[a],
                 fmt::join(quoted, ", "));
    }
  }

  std::string text = request.format == "json"
                         ? Json(locations, collection, sink.rows(), placed)
                         : Lcov(collection, sink.rows(), placed);
  if (request.output.empty()) {
    out << text;
    out.flush();
    return kDone;
  }
  if (!WriteThroughTemporary(request.output, text, &error)) {
    fmt::print(err, "ostrivel-report: export: {}\n", error);
    return kCannotRead;
  }
  return kDone;
}

}  // namespace ostrivel::report
