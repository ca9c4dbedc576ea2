#include "bench/report_data.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "coverage/evaluate.h"
#include "coverage/method_list.h"
#include "harness/state.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::bench {
namespace {

using ::ostrivel::testing::FileExists;
using ::ostrivel::testing::ReadFile;
using ::ostrivel::testing::TempDir;
using ::ostrivel::testing::TestEnvironment;

ReportDataShape Shape(int tests, int applications, int methods, int runs,
                      std::uint64_t seed = 7) {
  ReportDataShape shape;
  shape.tests = tests;
  shape.applications = applications;
  shape.methods = methods;
  shape.runs = runs;
  shape.seed = seed;
  return shape;
}

void Generate(const ReportData& data, const TempDir& dir, int threads = 2) {
  std::string error;
  ASSERT_TRUE(WriteReportData(data, dir.path(), threads, &error)) << error;
}

// A local time of one day at noon, "milliseconds" later.
std::string Timestamp(std::int64_t milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "2014.05.06 12:%02d:%02d.%03d",
                static_cast<int>(milliseconds / 60000),
                static_cast<int>(milliseconds / 1000 % 60),
                static_cast<int>(milliseconds % 1000));
  return text;
}

// The library's answer body for one test's last run: every application's
// counts, zeros included.
std::string AskBody(const ReportData& data, int test, int run) {
  std::string body = "{\"timestamp\":\"" +
                     Timestamp(data.RuntimeMs(test, run)) + "\",\"data\":{";
  for (int a = 0; a < data.shape().applications; ++a) {
    std::vector<std::int32_t> counts(data.MethodLines(a).size(), 0);
    for (const MethodCalls& c : data.Calls(test, a, run)) {
      counts[c.position] = c.calls;
    }
    if (a != 0) body += ',';
    body += "\"" + data.applications()[a] + "\":[";
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (i != 0) body += ',';
      body += std::to_string(counts[i]);
    }
    body += ']';
  }
  return body + "}}";
}

// Generates "shape" and lets the library evaluate the same counts, test by
// test and run by run, against the method lists it loads from the
// generated files; every file must come out byte for byte the same.
// Returns the generated result file.
std::string ExpectSameAsLibrary(const ReportData& data) {
  const ReportDataShape& shape = data.shape();
  TempDir generated;
  Generate(data, generated);

  TestEnvironment library(2);
  coverage::MethodLists lists;
  for (const auto& entry :
       std::filesystem::directory_iterator(generated.File("methods"))) {
    // The library reads no build ID file.
    if (entry.path().extension() != ".csv") continue;
    coverage::OpenMethodList(entry.path().string(), lists);
  }
  harness::Settings settings;
  settings.base_location = library.dir().path();
  settings.res_location = library.resultPath();
  harness::CollectorState collector;
  for (int run = 0; run < shape.runs; ++run) {
    for (int t = 0; t < shape.tests; ++t) {
      collector.testName = data.TestName(t);
      coverage::EvaluateAnswer("{\"timestamp\":\"" + Timestamp(0) + "\"}",
                               settings, collector, lists);
      coverage::EvaluateAnswer(AskBody(data, t, run), settings, collector,
                               lists);
    }
  }

  EXPECT_EQ(library.LogLines(), std::vector<std::string>{});
  const std::string result = ReadFile(generated.File("result.csv"));
  EXPECT_EQ(result, ReadFile(library.resultPath()));
  std::size_t traces = 0;
  for (int t = 0; t < shape.tests; ++t) {
    for (const std::string& application : data.applications()) {
      const std::string name =
          data.TestName(t) + "_" + application + "_trace.csv";
      EXPECT_EQ(ReadFile(generated.File("traces/" + name)),
                ReadFile(library.dir().File(name)))
          << name;
      ++traces;
    }
  }
  EXPECT_EQ(std::distance(
                std::filesystem::directory_iterator(generated.File("traces")),
                std::filesystem::directory_iterator()),
            static_cast<std::ptrdiff_t>(traces));
  return result;
}

std::string ExpectSameAsLibrary(const ReportDataShape& shape) {
  return ExpectSameAsLibrary(ReportData(shape));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string Field(const std::string& row, int index) {
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) start = row.find(';', start) + 1;
  return row.substr(start, row.find(';', start) - start);
}

TEST(ReportDataFidelity, SeveralBatchesOfTestsRunTwice) {
  // 40 tests span three batches made on two threads.
  ExpectSameAsLibrary(Shape(40, 3, 400, 2));
}

TEST(ReportDataFidelity, GivenMethodListsOfDifferentLengths) {
  // Lists as ostrivel-methods writes them for real programs: their own
  // names and lengths, and a build ID file beside one of them.
  std::vector<GivenMethodList> lists;
  for (auto [name, methods] :
       {std::pair<std::string, int>{"zeta", 700}, {"alpha", 350}, {"mid", 1}}) {
    GivenMethodList list{name, {}, name == "alpha" ? "4f3a\n" : ""};
    for (int m = 0; m < methods; ++m) {
      list.lines.push_back("0x" + std::to_string(4096 + 16 * m) + ";" + name +
                           "_f" + std::to_string(m) + ";");
    }
    lists.push_back(std::move(list));
  }
  const ReportData data(Shape(40, 9, 99, 2), lists);
  ASSERT_EQ(data.applications(),
            (std::vector<std::string>{"alpha", "mid", "zeta"}));
  EXPECT_EQ(data.MethodLines(2), lists[0].lines);
  ExpectSameAsLibrary(data);

  TempDir dir;
  Generate(data, dir);
  EXPECT_EQ(ReadFile(dir.File("methods/alpha.csv.build-id")), "4f3a\n");
  EXPECT_FALSE(FileExists(dir.File("methods/zeta.csv.build-id")));
}

TEST(ReportDataFidelity, SmallestShapeHasOneCoreMethod) {
  const std::string result = ExpectSameAsLibrary(Shape(3, 1, 1, 1));
  const std::vector<std::string> rows = Lines(result);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(Field(rows[1], 3), "100");
  EXPECT_EQ(Field(rows[1], 5), "0");
  EXPECT_EQ(Field(rows[1], 6), "");
}

TEST(ReportDataFidelity, LongTracesAreWrittenWithExponents) {
  // 300 busy core methods add up to about a million calls per row.
  const std::string result = ExpectSameAsLibrary(Shape(6, 2, 30000, 1));
  EXPECT_NE(result.find("e+06;"), std::string::npos);
}

TEST(ReportDataFidelity, MethodListsEndInLineFeedsOnly) {
  const ReportData data(Shape(2, 2, 50, 1));
  TempDir dir;
  Generate(data, dir, 1);
  const std::string list = ReadFile(dir.File("methods/Billing.csv"));
  EXPECT_EQ(list.rfind("ProjectName;Billing\n", 0), 0u);
  EXPECT_EQ(list.find('\r'), std::string::npos);
  EXPECT_EQ(list.back(), '\n');
  EXPECT_EQ(ReadFile(dir.File("ostrivel.conf")),
            "res_location: " + dir.File("result.csv") + "\n" +
                "base_location: " + dir.File("traces/") + "\n" +
                "methods_location: " + dir.File("methods/") + "\n");
}

TEST(ReportDataProperties, SameSeedGivesSameBytes) {
  const ReportDataShape shape = Shape(20, 2, 300, 2);
  TempDir first;
  TempDir second;
  TempDir other;
  Generate(ReportData(shape), first, 1);
  Generate(ReportData(shape), second, 2);
  Generate(ReportData(Shape(20, 2, 300, 2, 8)), other);
  const std::string result = ReadFile(first.File("result.csv"));
  EXPECT_EQ(result, ReadFile(second.File("result.csv")));
  EXPECT_NE(result, ReadFile(other.File("result.csv")));
  const std::string trace =
      "traces/" + ReportData(shape).TestName(19) + "_Orders_trace.csv";
  EXPECT_EQ(ReadFile(first.File(trace)), ReadFile(second.File(trace)));
}

TEST(ReportDataProperties, EarlierRunsStayAsRowsWithOtherCalls) {
  const ReportData data(Shape(10, 2, 500, 3));
  TempDir dir;
  Generate(data, dir);
  const std::vector<std::string> rows = Lines(ReadFile(dir.File("result.csv")));
  ASSERT_EQ(rows.size(), 1u + 3 * 10 * 2);
  int differingLengths = 0;
  for (int t = 0; t < 10; ++t) {
    for (int a = 0; a < 2; ++a) {
      // The same test and application in runs 1, 2 and 3.
      const std::string& first = rows[1 + t * 2 + a];
      const std::string& last = rows[1 + 2 * 20 + t * 2 + a];
      EXPECT_EQ(Field(first, 0), Field(last, 0));
      EXPECT_EQ(Field(first, 5), Field(last, 5));
      if (Field(first, 2) != Field(last, 2)) ++differingLengths;
    }
  }
  EXPECT_GT(differingLengths, 15);
  for (int run = 0; run < 2; ++run) {
    EXPECT_NE(data.RuntimeMs(4, run), data.RuntimeMs(4, 2));
  }
}

TEST(ReportDataProperties, MethodsOnlyOneTestReaches) {
  const ReportDataShape shape = Shape(300, 2, 3000, 1);
  const ReportData data(shape);
  std::size_t onlyOne = 0;
  std::size_t reachedAtAll = 0;
  for (int a = 0; a < shape.applications; ++a) {
    std::vector<int> reaching(shape.methods, 0);
    std::vector<std::vector<MethodCalls>> calls;
    for (int t = 0; t < shape.tests; ++t) {
      calls.push_back(data.Calls(t, a, 0));
      for (const MethodCalls& c : calls.back()) ++reaching[c.position];
    }
    for (int t = 0; t < shape.tests; ++t) {
      for (std::uint32_t p : data.OnlyThisTest(t, a)) {
        EXPECT_EQ(reaching[p], 1) << p;
        EXPECT_TRUE(
            std::any_of(calls[t].begin(), calls[t].end(),
                        [p](const MethodCalls& c) { return c.position == p; }));
        ++onlyOne;
      }
    }
    // The core leads the list, and every test reaches it.
    EXPECT_EQ(reaching[0], shape.tests);
    EXPECT_EQ(reaching[29], shape.tests);
    for (int count : reaching) reachedAtAll += count > 0 ? 1 : 0;
  }
  EXPECT_GT(onlyOne, 300u);  // 0-3 per test, 1.4 on average
  const double coverage =
      100.0 * reachedAtAll / (shape.applications * shape.methods);
  EXPECT_GT(coverage, 40.0);
  EXPECT_LT(coverage, 70.0);
}

TEST(ReportDataProperties, NamesFitTheirFiles) {
  const ReportData data(Shape(200, 7, 2000, 1));
  EXPECT_EQ(data.applications().front(), "Accounts");
  EXPECT_TRUE(
      std::is_sorted(data.applications().begin(), data.applications().end()));
  for (int t = 0; t < 200; ++t) {
    const std::string name = data.TestName(t);
    EXPECT_EQ(name.find_first_of(";/\\"), std::string::npos) << name;
    EXPECT_NE(name.find('.'), std::string::npos) << name;
    EXPECT_GE(data.RuntimeMs(t, 0), 5);
    EXPECT_LE(data.RuntimeMs(t, 0), 60000);
  }
  for (int a = 0; a < 7; ++a) {
    const std::vector<std::string>& lines = data.MethodLines(a);
    int checkout = 0;
    for (std::size_t p = 0; p < lines.size(); ++p) {
      if (lines[p].find("checkout") != std::string::npos) {
        ++checkout;
        EXPECT_GE(p, 20u) << "in the core: " << lines[p];
      }
      EXPECT_LT(lines[p].size(), 1024u);
    }
    EXPECT_GT(checkout, 50) << data.applications()[a];
  }
}

TEST(ReportDataProperties, UnwritableDirectoryIsReported) {
  TempDir dir;
  testing::WriteFile(dir.File("file"), "x");
  std::string error;
  EXPECT_FALSE(WriteReportData(ReportData(Shape(1, 1, 1, 1)), dir.File("file"),
                               1, &error));
  EXPECT_NE(error.find("file"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.File("file/result.csv")));
}

}  // namespace
}  // namespace ostrivel::bench
