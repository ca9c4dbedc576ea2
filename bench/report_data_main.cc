// ostrivel-report-data: writes a synthetic coverage data set (result file,
// trace files, method lists and a configuration file) for measuring
// ostrivel-report. See report_data.h for its shape.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "bench/report_data.h"

namespace {

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
  const ostrivel::bench::ReportData data(shape);
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
