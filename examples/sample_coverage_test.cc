// The sample shop under coverage, end to end: the collection service, the
// probe in the sample's programs, the library loaded by ostrivel-run and by
// the GoogleTest listener. Each test's result row must name the functions
// that the test calls, and only those.

#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "tools/process/child_process.h"
#include "tools/runner/result_table.h"

namespace ostrivel {
namespace {

using process::CommandOptions;
using process::CommandResult;
using process::RunCommand;
using runner::ResultRow;
using testing::ReadFile;
using testing::SplitFields;
using testing::SplitLines;
using testing::TempDir;
using testing::WriteFile;

// A method list: its method lines by position (the header dropped).
std::vector<std::string> MethodLines(const std::string& path) {
  std::vector<std::string> lines = SplitLines(ReadFile(path));
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

// True iff the method-list line "line" ("ID;Method;Package", perhaps
// followed by ";count") is the function "function", given qualified as in
// "shop::Cart::Add": the package is its scope, the method its name with or
// without its ABI tag and parameter list.
bool Names(const std::string& line, const std::string& function) {
  std::size_t split = function.rfind("::");
  std::string scope =
      split == std::string::npos ? "" : function.substr(0, split);
  std::string name =
      split == std::string::npos ? function : function.substr(split + 2);
  std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < 3 || fields[2] != scope) return false;
  const std::string& method = fields[1];
  return method.rfind(name, 0) == 0 &&
         (method.size() == name.size() || method[name.size()] == '(' ||
          method[name.size()] == '[');
}

// What one test covered: the method lines of its covered positions.
class Coverage {
 public:
  Coverage(const ResultRow& row, const std::vector<std::string>& methods) {
    std::istringstream ids(row.covered);
    std::size_t id = 0;
    while (ids >> id) {
      if (id < methods.size()) covered_.push_back(methods[id]);
    }
  }

  // True iff a covered method line names "function" (see Names()).
  bool Covers(const std::string& function) const {
    for (const std::string& line : covered_) {
      if (Names(line, function)) return true;
    }
    return false;
  }

  std::size_t size() const { return covered_.size(); }
  std::string Describe() const {
    std::string text;
    for (const std::string& line : covered_) text += "\n  " + line;
    return text;
  }

 private:
  std::vector<std::string> covered_;
};

// The calls a trace file records for "function", 0 when it has no row.
long CallsIn(const std::string& tracePath, const std::string& function) {
  for (const std::string& line : SplitLines(ReadFile(tracePath))) {
    if (!Names(line, function)) continue;
    return std::atol(line.c_str() + line.rfind(';') + 1);
  }
  return 0;
}

// The "NAME=VALUE" lines of sample-counting's output (which also holds
// whatever ostrivel-methods warns about), split.
std::vector<std::pair<std::string, std::string>> Variables(
    const std::string& output) {
  std::vector<std::pair<std::string, std::string>> variables;
  for (const std::string& line : SplitLines(output)) {
    std::size_t equals = line.find('=');
    if (equals == 0 || equals == std::string::npos ||
        line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") != equals) {
      continue;
    }
    variables.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return variables;
}

// True iff the method line "line" is a constructor or destructor. The shop
// declares none: every one is written by the compiler, and only GCC
// instruments those (clang gives them no profile counters), so they are
// listed and counted on the GCC route alone.
bool IsSpecialMember(const std::string& line) {
  std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < 3) return false;
  const std::string& method = fields[1];
  const std::string& scope = fields[2];
  std::size_t split = scope.rfind("::");
  std::string type =
      split == std::string::npos ? scope : scope.substr(split + 2);
  return method.rfind('~', 0) == 0 ||
         (!type.empty() && method.rfind(type + "(", 0) == 0);
}

// What a trace file shows of the functions the shop's sources define: how
// many of them were called, and how often in all.
struct WrittenCalls {
  std::size_t functions = 0;
  long calls = 0;
  bool operator==(const WrittenCalls&) const = default;
};
WrittenCalls WrittenCallsIn(const std::string& tracePath) {
  WrittenCalls written;
  std::vector<std::string> lines = SplitLines(ReadFile(tracePath));
  for (std::size_t i = 1; i < lines.size(); ++i) {  // after the header
    if (IsSpecialMember(lines[i])) continue;
    ++written.functions;
    written.calls += std::atol(lines[i].c_str() + lines[i].rfind(';') + 1);
  }
  return written;
}
std::ostream& operator<<(std::ostream& out, const WrittenCalls& written) {
  return out << written.functions << " functions, " << written.calls
             << " calls";
}

// The lines of a result file with each row's runtime masked.
std::vector<std::string> RowsWithoutRuntime(const std::string& path) {
  std::vector<std::string> lines = SplitLines(ReadFile(path));
  for (std::string& line : lines) {
    std::vector<std::string> fields = SplitFields(line);
    if (fields.size() < 5 || fields[0] == "Test name") continue;
    fields[4] = "<runtime>";
    line.clear();
    for (const std::string& field : fields) line += field + ";";
  }
  return lines;
}

// The files of a folder by name, with their bytes.
std::map<std::string, std::string> FilesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    files[entry.path().filename().string()] = ReadFile(entry.path().string());
  }
  return files;
}

// A service on a fresh methods directory holding the method list of the
// sample program "application" (written by sample-counting, as the demo
// writes it), and a configuration for the library that points every
// location into a temporary directory.
class SampleCoverageTest : public ::testing::Test {
 protected:
  void StartService(const std::string& application) {
    methods_ = dir_.File("methods/");
    std::filesystem::create_directories(dir_.File("traces/"));
    channel_ = tools::testing::UniqueChannel("sample");
    CommandOptions quick;
    quick.timeoutMs = 60000;
    CommandResult counting =
        RunCommand(std::string(OSTRIVEL_SAMPLE_COUNTING) + " " + application +
                       " " + methods_ + " " + channel_,
                   quick);
    ASSERT_EQ(counting.exitCode, 0) << counting.output;
    environment_ = Variables(counting.output);
    methodList_ = methods_ + application + ".csv";
    service_ = std::make_unique<tools::testing::StartedService>(
        OSTRIVEL_SERVICE_PATH, methods_, channel_, dir_.File("service.log"));
    ASSERT_TRUE(service_->ok()) << service_->startOutput();
    WriteFile(dir_.File("ostrivel.conf"),
              "host_name: 127.0.0.1\n"
              "port: " +
                  std::to_string(service_->port()) +
                  "\nbase_location: " + dir_.File("traces/") +
                  "\nlog_location: " + dir_.File("log.txt") +
                  "\nres_location: " + dir_.File("result.csv") +
                  "\nmethods_location: " + methods_ + "\n");
  }

  // The sample's programs count with the route's environment, and find
  // sample-app on PATH.
  CommandOptions CountingEnvironment() const {
    CommandOptions options;
    const char* path = std::getenv("PATH");
    options.environment = environment_;
    options.environment.push_back(
        {"PATH", std::string(OSTRIVEL_SAMPLE_APP_DIR) + ":" +
                     (path != nullptr ? path : "/usr/bin:/bin")});
    options.timeoutMs = 120000;
    return options;
  }

  // The rows of the result file by test name; each test must have exactly
  // one (one application in the methods directory).
  std::map<std::string, ResultRow> RowsByTest(const std::string& application) {
    runner::ResultRows rows =
        runner::ParseResultRows(ReadFile(dir_.File("result.csv")));
    EXPECT_EQ(rows.unreadableLines, 0);
    std::map<std::string, ResultRow> byTest;
    for (const ResultRow& row : rows.rows) {
      EXPECT_EQ(row.application, application);
      EXPECT_TRUE(byTest.emplace(row.testName, row).second)
          << "two rows for " << row.testName;
    }
    return byTest;
  }

  // Runs the sample's command-line tests with ostrivel-run.
  void RunCommandLineTests() {
    StartService("sample-app");
    CommandResult run =
        RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --library " +
                       OSTRIVEL_LIBRARY_PATH + " --config " +
                       dir_.File("ostrivel.conf") + " " + OSTRIVEL_SAMPLE_TESTS,
                   CountingEnvironment());
    ASSERT_EQ(run.exitCode, 0) << run.output;
    runOutput_ = run.output;
  }

  std::string TracePath(const std::string& test,
                        const std::string& application) const {
    return dir_.File("traces/") + test + "_" + application + "_trace.csv";
  }

  TempDir dir_;
  std::string methods_;
  std::string methodList_;
  std::string channel_;
  std::vector<std::pair<std::string, std::string>> environment_;
  std::unique_ptr<tools::testing::StartedService> service_;
  std::string runOutput_;
};

TEST_F(SampleCoverageTest, EachCommandLineTestCoversWhatItCalls) {
  ASSERT_NO_FATAL_FAILURE(RunCommandLineTests());

  std::vector<std::string> methods = MethodLines(methodList_);
  std::map<std::string, ResultRow> rows = RowsByTest("sample-app");
  ASSERT_EQ(rows.size(), 8u) << runOutput_;
  auto coverage = [&](const std::string& test) {
    return Coverage(rows.at(test), methods);
  };

  Coverage help = coverage("Help");
  EXPECT_TRUE(help.Covers("main")) << help.Describe();
  EXPECT_TRUE(help.Covers("(anonymous namespace)::PrintUsage"))
      << help.Describe();
  EXPECT_FALSE(help.Covers("shop::FindItem")) << help.Describe();

  Coverage list = coverage("ListFruit");
  EXPECT_TRUE(list.Covers("shop::IsKnownCategory")) << list.Describe();
  EXPECT_TRUE(list.Covers("shop::FormatItem")) << list.Describe();
  EXPECT_FALSE(list.Covers("shop::LineTotal")) << list.Describe();

  // One unit: no bulk discount, so no percentage is computed.
  Coverage single = coverage("PriceSingle");
  EXPECT_TRUE(single.Covers("shop::LineTotal")) << single.Describe();
  EXPECT_TRUE(single.Covers("shop::BulkDiscount")) << single.Describe();
  EXPECT_FALSE(single.Covers("shop::PercentOf")) << single.Describe();
  EXPECT_TRUE(coverage("PriceBulk").Covers("shop::PercentOf"));
  EXPECT_EQ(CallsIn(TracePath("PriceBulk", "sample-app"), "shop::PercentOf"),
            1);
  EXPECT_EQ(CallsIn(TracePath("PriceBulk", "sample-app"), "shop::LineTotal"),
            1);

  Coverage unknown = coverage("UnknownItem");
  EXPECT_TRUE(unknown.Covers("shop::FindItem")) << unknown.Describe();
  EXPECT_FALSE(unknown.Covers("shop::LineTotal")) << unknown.Describe();

  Coverage low = coverage("LowStock");
  EXPECT_TRUE(low.Covers("shop::LowStock")) << low.Describe();
  EXPECT_FALSE(low.Covers("shop::InStock")) << low.Describe();
  // Six catalog items, one stock look-up each.
  EXPECT_EQ(CallsIn(TracePath("LowStock", "sample-app"), "shop::Stock"), 6);

  Coverage checkout = coverage("Checkout");
  for (const char* function :
       {"shop::Cart::Add", "shop::CheckCart", "shop::InStock",
        "shop::ComputeTotals", "shop::CouponDiscount", "shop::Tax",
        "shop::ShippingCost", "shop::FormatReceipt"}) {
    EXPECT_TRUE(checkout.Covers(function)) << function << checkout.Describe();
  }
  EXPECT_FALSE(checkout.Covers("shop::(anonymous namespace)::BakeryDiscount"))
      << checkout.Describe();

  Coverage refused = coverage("OutOfStock");
  EXPECT_TRUE(refused.Covers("shop::InStock")) << refused.Describe();
  EXPECT_FALSE(refused.Covers("shop::ComputeTotals")) << refused.Describe();

  // Reach differs: the checkout covers the most, help nearly nothing.
  EXPECT_GT(checkout.size(), single.size());
  EXPECT_GT(single.size(), help.size());
  EXPECT_NE(rows.at("Checkout").coverage, rows.at("Help").coverage);
}

// The sample's command-line tests on two slots of a service, as the demo
// runs them: the rows (runtime aside), their order, the header and the
// trace files are those of a serial run. On the clang route the runner
// moves the sample's LLVM_PROFILE_FILE to each slot's channel.
TEST_F(SampleCoverageTest,
       CommandLineTestsOnTwoSlotsWriteWhatASerialRunWrites) {
  ASSERT_NO_FATAL_FAILURE(RunCommandLineTests());
  service_.reset();
  namespace fs = std::filesystem;
  fs::rename(dir_.File("result.csv"), dir_.File("serial.csv"));
  fs::rename(dir_.File("traces"), dir_.File("serial-traces"));
  fs::create_directory(dir_.File("traces"));

  tools::testing::StartedService slotted(
      OSTRIVEL_SERVICE_PATH, methods_, channel_, dir_.File("service.log"),
      {"--slots", "2", "--ports-file", dir_.File("ports")});
  ASSERT_TRUE(slotted.ok()) << slotted.startOutput();
  WriteFile(dir_.File("ostrivel.conf"),
            ReadFile(dir_.File("ostrivel.conf")) +
                "port: " + std::to_string(slotted.port()) + "\n");
  CommandResult run = RunCommand(
      std::string(OSTRIVEL_RUN_PATH) + " --library " + OSTRIVEL_LIBRARY_PATH +
          " --config " + dir_.File("ostrivel.conf") + " --jobs 2" +
          " --ports-file " + dir_.File("ports") + " " + OSTRIVEL_SAMPLE_TESTS,
      CountingEnvironment());
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::vector<std::string> serial = RowsWithoutRuntime(dir_.File("serial.csv"));
  ASSERT_EQ(serial.size(), 9u);  // the header and eight rows
  EXPECT_EQ(RowsWithoutRuntime(dir_.File("result.csv")), serial);
  std::map<std::string, std::string> traces =
      FilesIn(dir_.File("serial-traces"));
  EXPECT_EQ(traces.size(), 8u);
  EXPECT_EQ(FilesIn(dir_.File("traces")), traces);
}

// The GoogleTest example run test by test by ostrivel-run, two at a time,
// against the same run one test after another.
TEST_F(SampleCoverageTest, GoogleTestsTwoAtATimeWriteWhatASerialRunWrites) {
  CommandOptions options;
  options.timeoutMs = 120000;
  auto run = [&](const std::string& folder, const std::string& jobs) {
    return RunCommand(std::string(OSTRIVEL_RUN_PATH) + " --library " +
                          OSTRIVEL_LIBRARY_PATH + " --gtest " +
                          OSTRIVEL_SHOP_TEST_PATH +
                          " --include '^shop::' --jobs " + jobs +
                          " --output-dir " + dir_.File(folder),
                      options);
  };
  CommandResult serial = run("serial", "1");
  ASSERT_EQ(serial.exitCode, 0) << serial.output;
  CommandResult parallel = run("parallel", "2");
  ASSERT_EQ(parallel.exitCode, 0) << parallel.output;
  EXPECT_THAT(parallel.output, ::testing::HasSubstr(" tests on 2 slots"));

  std::vector<std::string> rows =
      RowsWithoutRuntime(dir_.File("serial/result.csv"));
  ASSERT_EQ(rows.size(), 6u);  // the header and five rows
  EXPECT_EQ(RowsWithoutRuntime(dir_.File("parallel/result.csv")), rows);
  std::map<std::string, std::string> traces =
      FilesIn(dir_.File("serial/traces"));
  EXPECT_EQ(traces.size(), 5u);
  EXPECT_EQ(FilesIn(dir_.File("parallel/traces")), traces);
  // Each slot logs on its own, so that one test's lines stay together.
  EXPECT_TRUE(std::filesystem::exists(dir_.File("parallel/log.slot0.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("parallel/log.slot1.txt")));
}

// A command of the README and the output it shows.
struct ReadmeExample {
  std::string command;
  std::string output;
};

// The examples of README.md's blocks marked "<!-- example: run by a test
// -->": in each, "$ COMMAND" lines, each followed by the lines it prints.
std::vector<ReadmeExample> ReadmeExamples(const std::string& readme) {
  std::vector<ReadmeExample> examples;
  bool marked = false;
  bool inBlock = false;
  for (const std::string& line : SplitLines(readme)) {
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock && marked;
      marked = false;
    } else if (inBlock && line.rfind("$ ", 0) == 0) {
      examples.push_back({line.substr(2), ""});
    } else if (inBlock && !examples.empty()) {
      examples.back().output += line + "\n";
    } else if (!inBlock) {
      marked =
          line == "<!-- example: run by a test -->" || (marked && line.empty());
    }
  }
  return examples;
}

// The README's examples of ostrivel-report, run as a user would from the
// project root after scripts/demo, print what the README shows.
TEST_F(SampleCoverageTest, TheReadmesReportExamplesAnswerAsShown) {
  std::vector<ReadmeExample> examples =
      ReadmeExamples(ReadFile(OSTRIVEL_README_PATH));
  ASSERT_GE(examples.size(), 3u);
  ASSERT_NO_FATAL_FAILURE(RunCommandLineTests());
  // The demo's folder, where the README's commands look for the run.
  std::filesystem::create_directory(dir_.File("root"));
  std::filesystem::create_directory_symlink(dir_.path(),
                                            dir_.File("root/demo-out"));
  CommandOptions options;
  options.environment = {
      {"PATH",
       std::filesystem::path(OSTRIVEL_REPORT_PATH).parent_path().string() +
           ":/usr/bin:/bin"}};
  options.timeoutMs = 60000;
  for (const ReadmeExample& example : examples) {
    EXPECT_NE(example.output, "") << example.command;
    CommandResult result = RunCommand(
        "cd '" + dir_.File("root") + "' && " + example.command, options);
    EXPECT_EQ(result.exitCode, 0) << example.command << "\n" << result.output;
    EXPECT_EQ(result.output, example.output) << example.command;
  }
}

// The figures that depend only on which of the shop's functions ran are the
// same on both routes; the percentages follow from the list the build wrote.
TEST_F(SampleCoverageTest, EachCommandLineTestCountsEveryCallExactly) {
  ASSERT_NO_FATAL_FAILURE(RunCommandLineTests());
  std::vector<std::string> methods = MethodLines(methodList_);
  ASSERT_FALSE(methods.empty());
  std::map<std::string, ResultRow> rows = RowsByTest("sample-app");

  const struct {
    const char* test;
    WrittenCalls written;
  } kCases[] = {
      {"Help", {2, 2}},        {"ListFruit", {7, 11}},
      {"PriceSingle", {9, 9}}, {"PriceBulk", {10, 10}},
      {"UnknownItem", {6, 6}}, {"LowStock", {6, 11}},
      {"Checkout", {25, 49}},  {"OutOfStock", {12, 12}},
  };
  ASSERT_EQ(rows.size(), std::size(kCases)) << runOutput_;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.test);
    ASSERT_EQ(rows.count(c.test), 1u);
    const ResultRow& row = rows.at(c.test);
    EXPECT_EQ(WrittenCallsIn(TracePath(c.test, "sample-app")), c.written);
    Coverage covered(row, methods);
    EXPECT_NEAR(std::strtod(row.coverage.c_str(), nullptr),
                100.0 * static_cast<double>(covered.size()) /
                    static_cast<double>(methods.size()),
                1e-3)
        << row.coverage << covered.Describe();
  }
}

// The list and the environment sample-counting gives are the build's
// route's: the probe's list and OSTRIVEL_METHOD_LIST, or the profile
// records and the LLVM_PROFILE_FILE the service reads.
TEST_F(SampleCoverageTest, CountsOnTheRouteTheBuildChose) {
  StartService("sample-app");
  const bool clang = std::string(OSTRIVEL_SAMPLE_ROUTE_USED) == "clang";
  std::map<std::string, std::string> environment(environment_.begin(),
                                                 environment_.end());
  EXPECT_EQ(environment["OSTRIVEL_CHANNEL"], channel_);
  if (clang) {
    EXPECT_EQ(environment.count("OSTRIVEL_METHOD_LIST"), 0u);
    EXPECT_THAT(
        environment["LLVM_PROFILE_FILE"],
        ::testing::AllOf(::testing::HasSubstr("." + channel_ + ".sample-app."),
                         ::testing::EndsWith("%c.profraw")));
  } else {
    EXPECT_EQ(environment.count("LLVM_PROFILE_FILE"), 0u);
    EXPECT_EQ(environment["OSTRIVEL_METHOD_LIST"], methodList_);
  }
  for (const std::string& line : MethodLines(methodList_)) {
    EXPECT_EQ(line.rfind(clang ? "llvm:" : "0x", 0), 0u) << line;
  }
}

TEST_F(SampleCoverageTest, EachGoogleTestCoversWhatItCalls) {
  StartService("sample-shop-test");
  CommandOptions options = CountingEnvironment();
  options.environment.push_back(
      {"OSTRIVEL_CONFIG", dir_.File("ostrivel.conf")});
  options.environment.push_back({"OSTRIVEL_LIBRARY", OSTRIVEL_LIBRARY_PATH});
  CommandResult run = RunCommand(OSTRIVEL_SHOP_TEST_PATH, options);
  ASSERT_EQ(run.exitCode, 0) << run.output;

  std::vector<std::string> methods = MethodLines(methodList_);
  std::map<std::string, ResultRow> rows = RowsByTest("sample-shop-test");
  ASSERT_EQ(rows.size(), 5u) << run.output;

  Coverage find = Coverage(rows.at("CatalogTest.FindsItemsByCode"), methods);
  EXPECT_TRUE(find.Covers("shop::FindItem")) << find.Describe();
  EXPECT_FALSE(find.Covers("shop::LineTotal")) << find.Describe();

  Coverage totals =
      Coverage(rows.at("CheckoutTest.CouponTaxAndShipping"), methods);
  EXPECT_TRUE(totals.Covers("shop::ComputeTotals")) << totals.Describe();
  EXPECT_TRUE(totals.Covers("shop::FormatReceipt")) << totals.Describe();

  Coverage cents = Coverage(rows.at("ReceiptTest.FormatsCents"), methods);
  EXPECT_TRUE(cents.Covers("shop::FormatCents")) << cents.Describe();
  EXPECT_EQ(cents.size(), 1u) << cents.Describe();
  EXPECT_EQ(CallsIn(TracePath("ReceiptTest.FormatsCents", "sample-shop-test"),
                    "shop::FormatCents"),
            3);
}

// The rows of "path" in any order, the runtime masked, and how many of its
// lines are the header.
std::multiset<std::string> MaskedRows(const std::string& path, int* headers) {
  std::multiset<std::string> rows;
  *headers = 0;
  for (const std::string& line : RowsWithoutRuntime(path)) {
    if (line.rfind("Test name;", 0) == 0) {
      ++*headers;
    } else {
      rows.insert(line);
    }
  }
  return rows;
}

TEST_F(SampleCoverageTest,
       GoogleTestsUnderCtestOnTwoSlotsWriteWhatASerialRunWrites) {
  // The suite as two ctest tests (two processes, so the catalog's static is
  // built once in each), run one after the other on a one-slot service.
  StartService("sample-shop-test");
  std::string ctestDir = dir_.File("ctest");
  std::filesystem::create_directories(ctestDir);
  WriteFile(ctestDir + "/CTestTestfile.cmake",
            std::string("add_test(catalog_pricing \"") +
                OSTRIVEL_SHOP_TEST_PATH +
                "\" \"--gtest_filter=CatalogTest.*:PricingTest.*\")\n"
                "add_test(checkout_receipt \"" +
                OSTRIVEL_SHOP_TEST_PATH +
                "\" \"--gtest_filter=CheckoutTest.*:ReceiptTest.*\")\n"
                "set_tests_properties(catalog_pricing checkout_receipt "
                "PROPERTIES TIMEOUT 60)\n");
  CommandOptions serial = CountingEnvironment();
  serial.environment.push_back({"OSTRIVEL_CONFIG", dir_.File("ostrivel.conf")});
  serial.environment.push_back({"OSTRIVEL_LIBRARY", OSTRIVEL_LIBRARY_PATH});
  serial.environment.push_back({"OSTRIVEL_SLOTS", ""});
  CommandResult run =
      RunCommand(std::string(OSTRIVEL_CTEST_PATH) +
                     " --output-on-failure -j1 --test-dir " + ctestDir,
                 serial);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  service_.reset();

  // The same two side by side, each process on a slot of its own.
  std::string parallel = dir_.File("parallel/");
  std::filesystem::create_directories(parallel + "traces");
  tools::testing::StartedService slots(
      OSTRIVEL_SERVICE_PATH, methods_, channel_, parallel + "service.log",
      {"--slots", "2", "--ports-file", parallel + "ports"});
  ASSERT_TRUE(slots.ok()) << slots.startOutput();
  WriteFile(parallel + "ostrivel.conf",
            "base_location: " + parallel + "traces/\nlog_location: " +
                parallel + "log.txt\nres_location: " + parallel +
                "result.csv\nmethods_location: " + methods_ + "\n");
  CommandOptions options = CountingEnvironment();
  options.environment.push_back({"OSTRIVEL_SLOTS", parallel + "ports"});
  options.environment.push_back(
      {"OSTRIVEL_CONFIG", parallel + "ostrivel.conf"});
  options.environment.push_back({"OSTRIVEL_LIBRARY", OSTRIVEL_LIBRARY_PATH});
  CommandResult ctest =
      RunCommand(std::string(OSTRIVEL_CTEST_PATH) +
                     " --output-on-failure -j2 --test-dir " + ctestDir,
                 options);
  ASSERT_EQ(ctest.exitCode, 0) << ctest.output;

  int serialHeaders = 0;
  int parallelHeaders = 0;
  std::multiset<std::string> serialRows =
      MaskedRows(dir_.File("result.csv"), &serialHeaders);
  EXPECT_EQ(MaskedRows(parallel + "result.csv", &parallelHeaders), serialRows);
  EXPECT_EQ(serialRows.size(), 5u);
  EXPECT_EQ(parallelHeaders, 1);
  std::map<std::string, std::string> serialTraces =
      FilesIn(dir_.File("traces"));
  EXPECT_EQ(serialTraces.size(), 5u);
  EXPECT_EQ(FilesIn(parallel + "traces"), serialTraces);
  // Each process logged into its slot's file (the first one free: when the
  // two do not overlap, both use slot 0), none into the configured one.
  EXPECT_TRUE(testing::FileExists(parallel + "log.slot0.txt"));
  EXPECT_FALSE(testing::FileExists(parallel + "log.txt"));
}

}  // namespace
}  // namespace ostrivel
