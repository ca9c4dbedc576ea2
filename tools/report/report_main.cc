// ostrivel-report: which test reaches which method, from the result file,
// the trace files and the method lists. See report_command.h.

#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "formats/defaults.h"
#include "tools/report/export_command.h"
#include "tools/report/impact_command.h"
#include "tools/report/merge_runs.h"
#include "tools/report/report_command.h"

namespace {

using ostrivel::report::kCannotRead;

int Main(int argc, char** argv) {
  ostrivel::report::SourceOptions sources;
  std::string page;
  std::string application;
  std::string pattern;
  bool ignoreCase = false;
  bool eachMethod = false;
  std::string into;
  std::vector<std::string> runs;
  ostrivel::report::ImpactRequest impact;
  ostrivel::report::ExportRequest exportRequest;

  CLI::App app{
      "Reads a result file, the trace files beside it and the method lists, "
      "and tells which test reaches which method: as one self-contained "
      "HTML page, or as answers for a terminal or a CI script.\n"
      "Rows it cannot use (no trace file, a trace file of another run, a "
      "name holding \";\") are listed on standard error and in the page.\n"
      "\"merge\" combines the results of runs sharded over several "
      "machines into one folder that every command reads.\n"
      "\"impacted\" and \"gaps\" read a diff and the programs' debug "
      "information: the tests a change concerns, and the changed methods no "
      "test reaches.\n"
      "\"export\" writes the per-test coverage as LCOV or JSON.\n"
      "Exit code: 0 done; 1 tests-for or impacted found no test, gaps found "
      "untested changed methods; 2 bad options, input that cannot be read, "
      "or (tests-for, uncovered, gaps) no usable row of the application, or "
      "(merge) runs that cannot be merged; 3 impacted: every test must run.",
      "ostrivel-report"};
  app.require_subcommand(1);
  app.add_option("-c,--config", sources.config,
                 "The library's configuration file: res_location, "
                 "base_location and methods_location say where to read");
  app.add_option(
      "-r,--results", sources.results,
      "The result file (default: res_location, else " +
          ostrivel::formats::DefaultPath(ostrivel::formats::kResultFileName) +
          ")");
  app.add_option("-t,--traces", sources.traces,
                 "What trace file names follow, as base_location (default: "
                 "base_location, else the result file's folder)");
  app.add_option("-m,--methods", sources.methods,
                 "The folder of the method lists (default: methods_location, "
                 "else the result file's folder's methods/)");

  CLI::App* html = app.add_subcommand(
      "html", "Write the report as one HTML page (no server needed)");
  html->add_option("page", page, "The HTML file to write")->required();

  CLI::App* testsFor = app.add_subcommand(
      "tests-for",
      "Print the tests that call a method of APP whose method-list line "
      "contains PATTERN: \"test<TAB>calls\" per test, in result-file order");
  testsFor->add_option("application", application, "APP")->required();
  testsFor->add_option("pattern", pattern, "PATTERN")->required();
  testsFor->add_flag("-i,--ignore-case", ignoreCase,
                     "Match PATTERN without regard to ASCII case");
  testsFor->add_flag("-e,--each-method", eachMethod,
                     "Print \"test<TAB>calls<TAB>method line\" per matching "
                     "method instead");

  CLI::App* uncovered = app.add_subcommand(
      "uncovered", "Print the method-list lines of APP that no test reaches");
  uncovered->add_option("application", application, "APP")->required();

  CLI::App* merge = app.add_subcommand(
      "merge",
      "Combine runs into the folder DIR: DIR/result.csv (the header once, "
      "every row of each run in its order, runs in the order given), the "
      "trace files beside it and DIR/methods/; read it with --results "
      "DIR/result.csv. Where a test and an application appear in two runs "
      "the later run's row and trace file win. Refuses when DIR exists and "
      "is not empty, or when runs hold different method lists for one "
      "application");
  merge
      ->add_option("--into", into,
                   "The folder to create (it must not exist or be empty)")
      ->required();
  merge
      ->add_option("runs", runs,
                   "RUN_DIR...: a run's folder (result.csv, the trace files "
                   "beside it, methods/), its result file, or its "
                   "configuration file")
      ->required();

  // The options of the commands that read a diff.
  auto addDiffOptions = [&](CLI::App* command, bool needed) {
    CLI::Option* file =
        command->add_option("--diff", impact.diff.file,
                            "The unified diff to read (\"-\": standard input)");
    CLI::Option* git = command->add_option(
        "--git", impact.diff.gitRevision,
        "Run \"git diff REV\" in the current directory and read its diff");
    file->excludes(git);
    command
        ->add_option("--binary", impact.binaries,
                     "PATH or APP=PATH: a program or library built with -g "
                     "whose traces were recorded (repeatable); without APP the "
                     "method list whose .build-id or .modules file names its "
                     "build ID")
        ->required(needed);
    command->add_option("--source-root", impact.sourceRoot,
                        "The source folder the programs were compiled in, "
                        "which the diff's paths are relative to (default: a "
                        "diff path matches the debug file names ending in it)");
    command->add_flag(
        "--no-index", impact.noIndex,
        "Read the result and trace files, not the index beside the result "
        "file (RESULTS.impact-index, written when missing or stale), and "
        "write no index");
    return std::make_pair(file, git);
  };

  CLI::App* impacted = app.add_subcommand(
      "impacted",
      "Print the tests whose latest trace files show a call of a method the "
      "diff changes, more changed methods first, then the shorter runtime. "
      "When the traces cannot speak for a change, every test (exit code 3) "
      "with the reasons on standard error");
  auto impactedSources = addDiffOptions(impacted, true);
  impacted
      ->add_option("--format", impact.format,
                   "lines (one test per line, the default), why (each test "
                   "with the changed methods it reaches), gtest-filter, "
                   "test-list (the lines of --test-list), json")
      ->check(
          CLI::IsMember({"lines", "why", "gtest-filter", "test-list", "json"}));
  impacted->add_option("--test-list", impact.testList,
                       "An ostrivel-run test list, for --format test-list");
  impacted->add_flag("--only-mapped", impact.onlyMapped,
                     "Print the tests the mapped changes select even when "
                     "some changes cannot be mapped (their reasons are still "
                     "printed)");

  CLI::App* gaps = app.add_subcommand(
      "gaps",
      "Print the methods the diff changes that no test reaches: "
      "\"FILE:LINE<TAB>APP<TAB>method line\" each; exit code 1 when there "
      "are some");
  auto gapsSources = addDiffOptions(gaps, true);
  CLI::App* exportCommand = app.add_subcommand(
      "export",
      "Write the per-test coverage for other tools: an LCOV tracefile with "
      "one TN section per test (genhtml --show-details), or JSON");
  exportCommand
      ->add_option("--format", exportRequest.format, "lcov (default) or json")
      ->check(CLI::IsMember({"lcov", "json"}));
  exportCommand->add_option("-o,--output", exportRequest.output,
                            "The file to write (default: standard output)");
  exportCommand->add_option(
      "--binary", exportRequest.binaries,
      "PATH or APP=PATH: a program or library built with -g whose debug "
      "information gives the methods' files and lines (repeatable; needed "
      "for lcov)");

  // The page lists the gaps of a diff when given one.
  auto htmlSources = addDiffOptions(html, false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error);
    return code == 0 ? 0 : kCannotRead;
  }

  if (merge->parsed()) {
    // The runs say where each reads from; one set of locations for all of
    // them would merge a run with itself.
    if (!sources.config.empty() || !sources.results.empty() ||
        !sources.traces.empty() || !sources.methods.empty()) {
      std::cerr << "ostrivel-report: merge: name each run as RUN_DIR; "
                   "--config, --results, --traces and --methods do not "
                   "apply\n";
      return kCannotRead;
    }
    return ostrivel::report::RunMerge(into, runs, std::cout, std::cerr);
  }

  for (auto [command, given] : {std::make_pair(impacted, impactedSources),
                                std::make_pair(gaps, gapsSources)}) {
    if (command->parsed() && given.first->count() == 0 &&
        given.second->count() == 0) {
      std::cerr << "ostrivel-report: " << command->get_name()
                << ": give the change with --diff FILE, --diff - or --git "
                   "REV\n";
      return kCannotRead;
    }
  }
  if (exportCommand->parsed() && exportRequest.format == "lcov" &&
      exportRequest.binaries.empty()) {
    std::cerr << "ostrivel-report: export: --format lcov needs --binary: "
                 "the files and lines come from the debug information\n";
    return kCannotRead;
  }
  if (impacted->parsed() && impact.format == "test-list" &&
      impact.testList.empty()) {
    std::cerr << "ostrivel-report: impacted: --format test-list needs "
                 "--test-list FILE\n";
    return kCannotRead;
  }

  std::string error;
  auto locations = ostrivel::report::ResolveLocations(sources, &error);
  if (!locations) {
    std::cerr << "ostrivel-report: " << error << "\n";
    return kCannotRead;
  }
  if (html->parsed()) {
    if (htmlSources.first->count() == 0 && htmlSources.second->count() == 0) {
      return ostrivel::report::RunHtml(*locations, page, std::cout, std::cerr);
    }
    if (impact.binaries.empty()) {
      std::cerr << "ostrivel-report: html: --diff and --git need --binary\n";
      return kCannotRead;
    }
    std::vector<ostrivel::report::ChangedGap> gapList;
    std::vector<std::string> unmapped;
    if (!ostrivel::report::FindGaps(*locations, impact, std::cin, &gapList,
                                    &unmapped, std::cerr)) {
      return kCannotRead;
    }
    return ostrivel::report::RunHtml(*locations, page, std::cout, std::cerr,
                                     &gapList, &unmapped);
  }
  if (testsFor->parsed()) {
    return ostrivel::report::RunTestsFor(*locations, application, pattern,
                                         ignoreCase, eachMethod, std::cout,
                                         std::cerr);
  }
  if (impacted->parsed()) {
    return ostrivel::report::RunImpacted(*locations, impact, std::cin,
                                         std::cout, std::cerr);
  }
  if (exportCommand->parsed()) {
    return ostrivel::report::RunExport(*locations, exportRequest, std::cout,
                                       std::cerr);
  }
  if (gaps->parsed()) {
    return ostrivel::report::RunGaps(*locations, impact, std::cin, std::cout,
                                     std::cerr);
  }
  return ostrivel::report::RunUncovered(*locations, application, std::cout,
                                        std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  try {
    return Main(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "ostrivel-report: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "ostrivel-report: unexpected failure\n";
  }
  return kCannotRead;
}
