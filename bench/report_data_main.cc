// ostrivel-report-data: writes a synthetic coverage data set (result file,
// trace files, method lists and a configuration file) for measuring
// ostrivel-report. See report_data.h for its shape.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/report_data.h"
#include "formats/method_list_format.h"

namespace {

// The lists at "paths" with the build ID files beside them; false with a
// message on standard error.
bool ReadGivenLists(const std::vector<std::string>& paths,
                    std::vector<ostrivel::bench::GivenMethodList>* lists) {
  std::set<std::string> applications;
  for (const std::string& path : paths) {
    std::string error;
    auto file = ostrivel::formats::ReadMethodListFile(path, &error);
    if (!file) {
      std::cerr << "ostrivel-report-data: " << error << "\n";
      return false;
    }
    if (file->lines.empty() || !applications.insert(file->application).second) {
      std::cerr << "ostrivel-report-data: " << path
                << (file->lines.empty() ? ": the list has no methods\n"
                                        : ": another list names the "
                                          "application \"" +
                                              file->application + "\"\n");
      return false;
    }
    std::ifstream buildId(path + ".build-id", std::ios::binary);
    std::string id((std::istreambuf_iterator<char>(buildId)),
                   std::istreambuf_iterator<char>());
    lists->push_back({file->application, std::move(file->lines), id});
  }
  return true;
}

int Main(int argc, char** argv) {
  ostrivel::bench::ReportDataShape shape;
  std::string directory;
  int threads =
      static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));

  CLI::App app{
      "Writes a synthetic coverage data set in the library's formats: "
      "DIR/result.csv, DIR/traces/<test>_<application>_trace.csv, "
      "DIR/methods/<application>.csv and DIR/ostrivel.conf. The same "
      "parameters always give the same bytes.",
      "ostrivel-report-data"};
  app.add_option("--tests", shape.tests, "Number of tests")
      ->capture_default_str()
      ->check(CLI::Range(1, 10'000'000));
  app.add_option("--applications", shape.applications, "Number of applications")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  app.add_option("--methods", shape.methods, "Methods per application")
      ->capture_default_str()
      ->check(CLI::Range(1, 10'000'000));
  app.add_option("--runs", shape.runs,
                 "Runs of every test; earlier runs stay in the result file, "
                 "the trace files show the last")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  std::vector<std::string> listPaths;
  app.add_option("--method-list", listPaths,
                 "A method list (as ostrivel-methods writes it) whose "
                 "application and methods the data uses instead of invented "
                 "ones, its .build-id file copied beside it; repeatable, "
                 "--applications and --methods are then ignored")
      ->check(CLI::ExistingFile);
  app.add_option("--seed", shape.seed, "Seed of the data")
      ->capture_default_str();
  app.add_option("--threads", threads, "Threads making rows")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  app.add_option("-o,--out", directory,
                 "Output directory (its result.csv, traces/ and methods/ "
                 "are replaced)")
      ->required();
  CLI11_PARSE(app, argc, argv);

  const auto start = std::chrono::steady_clock::now();
  std::vector<ostrivel::bench::GivenMethodList> lists;
  if (!ReadGivenLists(listPaths, &lists)) return 1;
  const ostrivel::bench::ReportData data =
      lists.empty() ? ostrivel::bench::ReportData(shape)
                    : ostrivel::bench::ReportData(shape, std::move(lists));
  std::string error;
  auto written =
      ostrivel::bench::WriteReportData(data, directory, threads, &error);
  if (!written) {
    std::cerr << "ostrivel-report-data: " << error << "\n";
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  constexpr double kMiB = 1024.0 * 1024.0;
  std::cout << "result.csv " << written->resultBytes / kMiB << " MiB, "
            << written->traceFiles << " trace files "
            << written->traceBytes / kMiB << " MiB, method lists "
            << written->methodBytes / kMiB << " MiB, " << seconds << " s\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
