#include "tools/report/impact_command.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unordered_set>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "tools/report/report_command.h"

namespace ostrivel::report {

namespace {

// A test-list line of ostrivel-run: "name<TAB>command".
struct TestListLine {
  std::string name;
  std::string text;
};

bool ReadTestList(const std::string& path, std::vector<TestListLine>* lines,
                  std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = fmt::format("the test list \"{}\" cannot be read", path);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    lines->push_back({line.substr(0, tab), line});
  }
  return true;
}

void AppendJsonString(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          *out += fmt::format("\\u{:04x}", static_cast<int>(c));
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

std::string Json(std::string_view text) {
  std::string out;
  AppendJsonString(text, &out);
  return out;
}

std::string MethodJson(const ImpactAnswer& answer, std::uint32_t index) {
  const ChangedMethod& method = answer.changed[index];
  return fmt::format(
      "{{\"application\":{},\"method\":{},\"file\":{},\"line\":{}}}",
      Json(answer.collection.applications[method.application]),
      Json(answer.collection.methods[method.application][method.method]),
      Json(method.file), method.line);
}

// A changed method for a person: "scope::name(...) (file:line)".
std::string MethodWhere(const ImpactAnswer& answer, std::uint32_t index) {
  const ChangedMethod& method = answer.changed[index];
  const std::string& line =
      answer.collection.methods[method.application][method.method];
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    std::size_t end = line.find(';', start);
    fields.push_back(std::string_view(line).substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string name(fields.size() > 1 ? fields[1] : fields[0]);
  if (fields.size() > 2 && !fields[2].empty()) {
    name = std::string(fields[2]) + "::" + name;
  }
  return fmt::format("{} ({}:{})", name, method.file, method.line);
}

// Reads the diff and maps it; false with the message on "err".
bool Analyse(const Locations& locations, const ImpactRequest& request,
             std::istream& in, const char* command, ImpactAnswer* answer,
             std::ostream& err) {
  std::string error;
  std::optional<std::vector<FileChange>> changes =
      ReadDiff(request.diff, in, &error);
  if (changes) {
    ImpactOptions options{ParseBinaries(request.binaries), request.sourceRoot,
                          !request.noIndex};
    if (FindImpact(locations, options, *changes, answer, &error)) {
      if (!answer->indexProblem.empty()) {
        fmt::print(err,
                   "ostrivel-report: {}: the index was not written: {}: the "
                   "next run reads the result and trace files again\n",
                   command, answer->indexProblem);
      }
      for (const std::string& problem : answer->collection.methodListProblems) {
        fmt::print(err, "ostrivel-report: {}\n", problem);
      }
      for (const RefusedRow& row : answer->collection.refused) {
        fmt::print(err, "ostrivel-report: {}:{}: row not used: {}: {}\n",
                   locations.results, row.line, row.reason, row.row);
      }
      return true;
    }
  }
  fmt::print(err, "ostrivel-report: {}: {}\n", command, error);
  return false;
}

}  // namespace

std::vector<ImpactBinary> ParseBinaries(
    const std::vector<std::string>& arguments) {
  std::vector<ImpactBinary> binaries;
  for (const std::string& argument : arguments) {
    std::error_code code;
    std::size_t equals = argument.find('=');
    if (std::filesystem::exists(argument, code) ||
        equals == std::string::npos) {
      binaries.push_back({"", argument});
    } else {
      binaries.push_back(
          {argument.substr(0, equals), argument.substr(equals + 1)});
    }
  }
  return binaries;
}

int RunImpacted(const Locations& locations, const ImpactRequest& request,
                std::istream& in, std::ostream& out, std::ostream& err) {
  std::vector<TestListLine> testList;
  std::string error;
  if (request.format == "test-list" &&
      !ReadTestList(request.testList, &testList, &error)) {
    fmt::print(err, "ostrivel-report: impacted: {}\n", error);
    return kCannotRead;
  }
  ImpactAnswer answer;
  if (!Analyse(locations, request, in, "impacted", &answer, err)) {
    return kCannotRead;
  }
  bool all = !answer.reasons.empty() && !request.onlyMapped;
  for (const std::string& reason : answer.reasons) {
    fmt::print(err, "ostrivel-report: impacted: {}: {}\n",
               request.onlyMapped ? "not mapped (--only-mapped)" : "all tests",
               reason);
  }

  // The names to print, in order.
  std::vector<std::string> names;
  if (all) {
    names = answer.collection.tests;
  } else {
    for (const ImpactedTest& test : answer.tests) names.push_back(test.name);
  }
  // A test without a usable row cannot be said to miss the change (a test
  // list names its own such tests below).
  if (request.format != "test-list") {
    for (const std::string& name : answer.untraced) {
      if (!all) {
        fmt::print(err,
                   "ostrivel-report: impacted: \"{}\" has no usable trace "
                   "data: selected\n",
                   name);
      }
      names.push_back(name);
    }
  }
  if (request.format == "gtest-filter") {
    if (all) {
      fmt::print(out, "*\n");
    } else if (!names.empty()) {
      fmt::print(out, "{}\n", fmt::join(names, ":"));
    }
  } else if (request.format == "test-list") {
    std::unordered_set<std::string> traced(answer.collection.tests.begin(),
                                           answer.collection.tests.end());
    if (all) {
      for (const TestListLine& line : testList)
        fmt::print(out, "{}\n", line.text);
    } else {
      for (const std::string& name : names) {
        for (const TestListLine& line : testList) {
          if (line.name == name) fmt::print(out, "{}\n", line.text);
        }
      }
      // A test without a trace cannot be said to miss the change.
      for (const TestListLine& line : testList) {
        if (traced.count(line.name) == 0) {
          fmt::print(err,
                     "ostrivel-report: impacted: \"{}\" has no usable trace "
                     "data: selected\n",
                     line.name);
          fmt::print(out, "{}\n", line.text);
          names.push_back(line.name);
        }
      }
    }
  } else if (request.format == "json") {
    std::string text = fmt::format("{{\"selection\":\"{}\",\"reasons\":[",
                                   all                    ? "all"
                                   : answer.tests.empty() ? "none"
                                                          : "mapped");
    for (std::size_t i = 0; i < answer.reasons.size(); ++i) {
      if (i > 0) text += ",";
      AppendJsonString(answer.reasons[i], &text);
    }
    text += "],\"untraced\":[";
    for (std::size_t i = 0; i < answer.untraced.size(); ++i) {
      text += (i == 0 ? "" : ",") + Json(answer.untraced[i]);
    }
    text += "],\"tests\":[";
    for (std::size_t t = 0; t < answer.tests.size(); ++t) {
      const ImpactedTest& test = answer.tests[t];
      text += fmt::format("{}{{\"name\":{},\"runtime\":{},\"methods\":[",
                          t == 0 ? "" : ",", Json(test.name),
                          std::isfinite(test.runtime)
                              ? fmt::format("{}", test.runtime)
                              : std::string("null"));
      for (std::size_t m = 0; m < test.methods.size(); ++m) {
        text += (m == 0 ? "" : ",") + MethodJson(answer, test.methods[m]);
      }
      text += "]}";
    }
    text += "],\"changed_methods\":[";
    for (std::uint32_t m = 0; m < answer.changed.size(); ++m) {
      std::string method = MethodJson(answer, m);
      method.pop_back();
      text += fmt::format("{}{},\"tests\":{}}}", m == 0 ? "" : ",", method,
                          answer.changed[m].tests);
    }
    text += "]";
    if (all) {
      text += ",\"all_tests\":[";
      for (std::size_t t = 0; t < names.size(); ++t) {
        text += (t == 0 ? "" : ",") + Json(names[t]);
      }
      text += "]";
    }
    fmt::print(out, "{}}}\n", text);
  } else if (request.format == "why" && !all) {
    for (const ImpactedTest& test : answer.tests) {
      std::vector<std::string> reached;
      for (std::uint32_t index : test.methods) {
        reached.push_back(MethodWhere(answer, index));
      }
      fmt::print(out, "{}\treaches {}\n", test.name, fmt::join(reached, ", "));
    }
    for (const std::string& name : answer.untraced) {
      fmt::print(out, "{}\thas no usable trace data\n", name);
    }
  } else if (request.format == "why") {
    for (const std::string& name : names) {
      fmt::print(out, "{}\tevery test (see the reasons above)\n", name);
    }
  } else {
    for (const std::string& name : names) fmt::print(out, "{}\n", name);
  }
  if (all) return kAllTests;
  return names.empty() ? kNoTestFound : kDone;
}

bool FindGaps(const Locations& locations, const ImpactRequest& request,
              std::istream& in, std::vector<ChangedGap>* gaps,
              std::vector<std::string>* unmapped, std::ostream& err) {
  ImpactAnswer answer;
  if (!Analyse(locations, request, in, "gaps", &answer, err)) return false;
  // Without a usable row every changed method would look untested.
  if (answer.usableRows == 0) {
    fmt::print(err,
               "ostrivel-report: gaps: no usable row in \"{}\": nothing can "
               "be said about the changed methods\n",
               locations.results);
    return false;
  }
  for (const ChangedMethod& method : answer.changed) {
    if (method.tests > 0) continue;
    gaps->push_back(
        {answer.collection.applications[method.application],
         answer.collection.methods[method.application][method.method],
         method.file, method.line});
  }
  *unmapped = std::move(answer.reasons);
  return true;
}

int RunGaps(const Locations& locations, const ImpactRequest& request,
            std::istream& in, std::ostream& out, std::ostream& err) {
  std::vector<ChangedGap> gaps;
  std::vector<std::string> unmapped;
  if (!FindGaps(locations, request, in, &gaps, &unmapped, err)) {
    return kCannotRead;
  }
  for (const std::string& reason : unmapped) {
    fmt::print(err, "ostrivel-report: gaps: not mapped: {}\n", reason);
  }
  for (const ChangedGap& gap : gaps) {
    fmt::print(out, "{}:{}\t{}\t{}\n", gap.file, gap.line, gap.application,
               gap.method);
  }
  return gaps.empty() ? kDone : kNoTestFound;
}

}  // namespace ostrivel::report
