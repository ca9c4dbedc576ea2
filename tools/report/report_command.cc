#include "tools/report/report_command.h"

#include <fstream>

#include <fmt/format.h>
#include <fmt/ostream.h>

#include "formats/config_format.h"
#include "formats/defaults.h"
#include "tools/report/html/html_report.h"
#include "tools/report/queries.h"
#include "tools/report/report_builder.h"

namespace ostrivel::report {

namespace {

void ReportProblems(const Locations& locations,
                    const std::vector<std::string>& methodListProblems,
                    const std::vector<RefusedRow>& refused, std::ostream& err) {
  for (const std::string& problem : methodListProblems) {
    fmt::print(err, "ostrivel-report: {}\n", problem);
  }
  for (const RefusedRow& row : refused) {
    fmt::print(err, "ostrivel-report: {}:{}: row not used: {}: {}\n",
               locations.results, row.line, row.reason, row.row);
  }
}

void ReportNoUsableRow(const std::string& application, std::ostream& err) {
  fmt::print(err,
             "ostrivel-report: no usable row of \"{}\" in the results: "
             "nothing can be said about its methods\n",
             application);
}

}  // namespace

std::optional<Locations> ResolveLocations(const SourceOptions& options,
                                          std::string* error) {
  Locations locations;
  if (!options.config.empty()) {
    std::ifstream probe(options.config);
    if (!probe) {
      *error = fmt::format("the configuration file \"{}\" cannot be read",
                           options.config);
      return std::nullopt;
    }
    auto value = [&](const char* key, std::string fallback) {
      return formats::ReadConfigValue(options.config, key)
          .value_or(std::move(fallback));
    };
    locations.results =
        value("res_location", formats::DefaultPath(formats::kResultFileName));
    locations.tracePrefix =
        value("base_location", std::string(formats::kDefaultBase));
    locations.methodsDirectory = value(
        "methods_location", formats::DefaultPath(formats::kMethodsFolderName));
  } else {
    locations.results = options.results.empty()
                            ? formats::DefaultPath(formats::kResultFileName)
                            : options.results;
    std::size_t slash = locations.results.rfind('/');
    std::string folder = slash == std::string::npos
                             ? std::string()
                             : locations.results.substr(0, slash + 1);
    locations.tracePrefix = folder;
    locations.methodsDirectory = folder + "methods/";
  }
  if (!options.results.empty()) locations.results = options.results;
  if (!options.traces.empty()) locations.tracePrefix = options.traces;
  if (!options.methods.empty()) locations.methodsDirectory = options.methods;
  return locations;
}

int RunHtml(const Locations& locations, const std::string& page,
            std::ostream& out, std::ostream& err,
            const std::vector<ChangedGap>* gaps,
            const std::vector<std::string>* unmappedChanges) {
  Report report;
  std::string error;
  if (!BuildReport(locations, &report, &error)) {
    fmt::print(err, "ostrivel-report: {}\n", error);
    return kCannotRead;
  }
  if (gaps != nullptr) {
    report.forDiff = true;
    report.gaps = *gaps;
    if (unmappedChanges != nullptr) report.unmappedChanges = *unmappedChanges;
  }
  ReportProblems(locations, report.methodListProblems, report.refused, err);
  if (!WriteHtmlReport(report, page, &error)) {
    fmt::print(err, "ostrivel-report: {}\n", error);
    return kCannotRead;
  }
  std::size_t rows = 0;
  for (const Application& application : report.applications) {
    rows += application.rows;
  }
  fmt::print(out,
             "ostrivel-report: wrote {} ({} tests, {} applications, {} rows "
             "used, {} not used, {} replaced by later rows)\n",
             page, report.tests.size(), report.applications.size(), rows,
             report.refused.size(), report.replacedRows);
  return kDone;
}

int RunTestsFor(const Locations& locations, const std::string& application,
                const std::string& pattern, bool ignoreCase, bool eachMethod,
                std::ostream& out, std::ostream& err) {
  TestsForAnswer answer;
  std::string error;
  if (!FindTestsFor(locations, application, pattern, ignoreCase, &answer,
                    &error)) {
    fmt::print(err, "ostrivel-report: {}\n", error);
    return kCannotRead;
  }
  ReportProblems(locations, answer.collection.methodListProblems,
                 answer.collection.refused, err);
  // Without a single usable row "no test" would be an answer about nothing,
  // which a script must not take for "nothing to run".
  if (answer.usableRows == 0) {
    ReportNoUsableRow(application, err);
    return kCannotRead;
  }
  const std::vector<std::string>& methods =
      answer.collection.methods[answer.application];
  for (const TestHits& hits : answer.tests) {
    if (!eachMethod) {
      fmt::print(out, "{}\t{}\n", hits.test, hits.calls);
      continue;
    }
    for (const MethodCalls& method : hits.methods) {
      fmt::print(out, "{}\t{}\t{}\n", hits.test, method.calls,
                 methods[method.method]);
    }
  }
  return answer.tests.empty() ? kNoTestFound : kDone;
}

int RunUncovered(const Locations& locations, const std::string& application,
                 std::ostream& out, std::ostream& err) {
  UncoveredAnswer answer;
  std::string error;
  if (!FindUncovered(locations, application, &answer, &error)) {
    fmt::print(err, "ostrivel-report: {}\n", error);
    return kCannotRead;
  }
  ReportProblems(locations, answer.collection.methodListProblems,
                 answer.collection.refused, err);
  // Every method would be listed as unreached, as if no test touched it.
  if (answer.usableRows == 0) {
    ReportNoUsableRow(application, err);
    return kCannotRead;
  }
  const std::vector<std::string>& methods =
      answer.collection.methods[answer.application];
  for (std::uint32_t method : answer.methods) {
    fmt::print(out, "{}\n", methods[method]);
  }
  return kDone;
}

}  // namespace ostrivel::report
