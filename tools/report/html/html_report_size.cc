// Writes the page of a synthetic report of a given size and prints how big
// it is and how long writing took:
//
//   report_html_size TESTS APPLICATIONS METHODS OUT.html
//
// The report has the shape of real results: a core every test reaches, many
// methods a few tests reach, a tenth reached by one test, 40% by none.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <fmt/format.h>

#include "tools/report/html/html_report.h"

namespace {

using namespace ostrivel::report;

Report SyntheticReport(std::uint32_t tests, std::uint32_t applications,
                       std::uint32_t methods) {
  std::mt19937_64 random(42);
  auto uniform = [&](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
  };
  Report report;
  report.resultPath = "/var/coverage/result.csv";
  report.tracePrefix = "/var/coverage/traces/";
  report.methodsDirectory = "/var/coverage/methods/";
  report.keptTestsPerMethod = 5;
  for (std::uint32_t t = 0; t < tests; ++t) {
    Test test;
    test.name = fmt::format("Orders.PlaceOrder_{}", t);
    test.runtime = static_cast<double>(uniform(5, 60000));
    test.runtimeText = fmt::format("{}", test.runtime);
    for (std::uint32_t a = 0; a < applications; ++a) {
      Cell cell;
      cell.present = true;
      cell.methods = methods;
      cell.covered = static_cast<std::uint32_t>(uniform(0, methods / 2));
      cell.traceLength = static_cast<std::int64_t>(uniform(1, 1000000));
      test.cells.push_back(cell);
    }
    report.tests.push_back(std::move(test));
  }
  for (std::uint32_t a = 0; a < applications; ++a) {
    Application app;
    app.name = fmt::format("Application{}", a);
    app.rows = tests;
    for (std::uint32_t m = 0; m < methods; ++m) {
      app.methods.push_back(fmt::format(
          "0x{:08x};shop::Module{}::{}{}(Cart const&);shop", 0x1000 + 16 * m,
          m / 100, m % 97 == 0 ? "checkout" : "Component", m % 1000));
      std::uint64_t shape = uniform(0, 99);
      std::uint32_t reaching =
          m < methods / 100 ? tests
          : shape < 40      ? 0
          : shape < 50      ? 1
                            : static_cast<std::uint32_t>(
                             std::min<std::uint64_t>(tests, uniform(2, 400)));
      app.testsReaching.push_back(reaching);
      std::vector<TestCalls> top;
      for (std::uint32_t k = 0; k < std::min<std::uint32_t>(reaching, 5); ++k) {
        top.push_back({static_cast<std::uint32_t>(uniform(0, tests - 1)),
                       static_cast<std::int64_t>(uniform(1, 5000))});
      }
      if (reaching == 1) {
        Test& only = report.tests[top[0].test];
        only.onlyThisTest.push_back({a, m});
        ++only.cells[a].onlyThisTest;
      }
      app.topTests.push_back(std::move(top));
      app.reached += reaching > 0;
    }
    for (const Test& test : report.tests) {
      app.totalCalls += test.cells[a].traceLength;
    }
    report.applications.push_back(std::move(app));
  }
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fmt::print(stderr, "usage: {} TESTS APPLICATIONS METHODS OUT.html\n",
               argv[0]);
    return 2;
  }
  auto number = [](const char* text) {
    return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
  };
  Report report = SyntheticReport(number(argv[1]), number(argv[2]),
                                  std::max<std::uint32_t>(1, number(argv[3])));
  auto start = std::chrono::steady_clock::now();
  std::string error;
  if (!WriteHtmlReport(report, argv[4], &error)) {
    fmt::print(stderr, "{}\n", error);
    return 1;
  }
  std::chrono::duration<double> seconds =
      std::chrono::steady_clock::now() - start;
  auto bytes = std::filesystem::file_size(argv[4]);
  fmt::print("{} bytes ({:.1f} MB) in {:.2f} s\n", bytes, bytes / 1e6,
             seconds.count());
  return 0;
}
