#include "coverage/trace_file.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::coverage {
namespace {

using ::ostrivel::testing::CapturedOutput;
using ::ostrivel::testing::ReadFile;
using ::ostrivel::testing::TestEnvironment;
using ::ostrivel::testing::WriteFile;
using Lines = std::vector<std::string>;

const std::string kHeader = "ID; Method; Package; Number of calls\r\n";

class TracePathTest : public ::testing::Test {
 protected:
  std::string Trace(const CoverageVector& counts) {
    TracePath("Shop", counts, path_, lists_);
    return ReadFile(path_);
  }

  TestEnvironment env_;
  std::string path_ = env_.dir().File("Login_Shop_trace.csv");
  MethodLists lists_{{"Shop", {"e0", "e1", "e2", "e3"}}};
};

TEST_F(TracePathTest, WritesCalledMethodsWithTheirCounts) {
  EXPECT_EQ(Trace({3, 0, 1, 0}), kHeader + "e0;3\r\ne2;1\r\n");
  EXPECT_EQ(env_.LogLines(), Lines{"DEBUG|TracePath method."});
  EXPECT_EQ(Trace({0, 5, 0, -2}), kHeader + "e1;5\r\ne3;-2\r\n");
  EXPECT_EQ(Trace({0, 0, 0, 0}), kHeader);
}

TEST_F(TracePathTest, EntriesAreWrittenVerbatim) {
  lists_["Shop"] = {"1;m;p;", "", "2;n;p", "3;o;p"};
  EXPECT_EQ(Trace({1, 2, 0, 2147483647}),
            kHeader + "1;m;p;;1\r\n;2\r\n3;o;p;2147483647\r\n");
}

TEST_F(TracePathTest, EmptyListAndEmptyCountsGiveTheHeaderOnly) {
  lists_["Shop"].clear();
  EXPECT_EQ(Trace({}), kHeader);
}

TEST_F(TracePathTest, ManyRowsKeepTheirOrder) {
  MethodList& methods = lists_["Shop"];
  methods.clear();
  CoverageVector counts;
  std::string expected = kHeader;
  for (int i = 0; i < 30000; ++i) {
    methods.push_back(std::to_string(i) + ";Class.method" + std::to_string(i));
    counts.push_back(i % 3);
    if (i % 3 != 0) {
      expected += methods.back() + ";" + std::to_string(i % 3) + "\r\n";
    }
  }
  EXPECT_EQ(Trace(counts), expected);
}

TEST_F(TracePathTest, FailedChecksLeaveTheFileUntouched) {
  WriteFile(path_, "earlier");
  TracePath("Admin", {1}, path_, lists_);
  TracePath("Shop", {1, 0, 0, 0, 0}, path_, lists_);
  lists_["Shop"].clear();
  TracePath("Shop", {1}, path_, lists_);
  EXPECT_EQ(ReadFile(path_), "earlier");
  auto sizes = [](const char* numbers) {
    return std::string(
               "ERROR|Size of the loaded and the received method list are "
               "not equal in \"Shop\"! ") +
           numbers;
  };
  EXPECT_EQ(env_.LogLines(),
            (Lines{"DEBUG|TracePath method.",
                   "ERROR|\"Admin\" application's method list didn't load!",
                   "DEBUG|TracePath method.",
                   sizes("(loaded list size:4, recieved list size:5)"),
                   "DEBUG|TracePath method.",
                   sizes("(loaded list size:0, recieved list size:1)")}));
}

// Paths in the test's directory where no trace file can be created.
struct UncreatableCase {
  std::string name;
  std::string path;
};

class UncreatableTraceTest
    : public TracePathTest,
      public ::testing::WithParamInterface<UncreatableCase> {};

TEST_P(UncreatableTraceTest, IsReportedWithItsPath) {
  CapturedOutput output;
  std::string path = env_.dir().File(GetParam().path);
  TracePath("Shop", {1, 0, 0, 0}, path, lists_);
  EXPECT_EQ(output.errors(), "Unable to open trace-file!\n");
  EXPECT_EQ(
      env_.LogLines(),
      (Lines{"DEBUG|TracePath method.",
             "ERROR|Unable to open trace-file! (Path: \"" + path + "\")"}));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UncreatableTraceTest,
    ::testing::Values(UncreatableCase{"MissingDirectory",
                                      "no/Login_Shop_trace.csv"},
                      UncreatableCase{"NameTooLong", std::string(300, 'n')},
                      UncreatableCase{"Directory", ""}),
    [](const auto& each) { return each.param.name; });

}  // namespace
}  // namespace ostrivel::coverage
