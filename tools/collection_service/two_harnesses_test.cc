// Two harnesses on one ostrivel-service, one of them the real library: the
// test that runs keeps its counts, and the library that is turned away logs
// the answer and goes on.

#include <dlfcn.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tests/loaded_library.h"
#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::collection {
namespace {

using ostrivel::testing::LoadedLibrary;
using ostrivel::testing::ReadFile;
using ostrivel::testing::ReadLogLines;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::Contains;
using ::testing::HasSubstr;
using tools::testing::ActionRequest;
using tools::testing::HttpAnswer;
using tools::testing::HttpClient;
using tools::testing::StartedService;
using tools::testing::UniqueChannel;

constexpr const char* kRefusal =
    R"({"error":"a test of another harness is running"})";

class TwoHarnessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << library_.error();
    std::filesystem::create_directory(dir_.File("methods"));
    WriteFile(dir_.File("methods/shop.csv"),
              "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
    service_.emplace(OSTRIVEL_SERVICE_PATH, dir_.File("methods"), channel_,
                     dir_.File("service.log"));
    ASSERT_TRUE(service_->ok()) << service_->startOutput();
    // The library's defaults but for the paths and the port: its requests
    // name the host "localhost".
    WriteFile(dir_.File("config.txt"),
              "log_location: " + dir_.File("log.txt") + "\nres_location: " +
                  dir_.File("result.csv") + "\nbase_location: " + dir_.path() +
                  "\nmethods_location: " + dir_.File("methods/") +
                  "\nport: " + std::to_string(service_->port()) + "\n");
    ASSERT_TRUE(library_.Init(dir_.File("config.txt").c_str()));
    ASSERT_TRUE(library_.Open());
    ASSERT_TRUE(other_.Connect(port()));
  }

  void TearDown() override {
    if (library_.loaded()) library_.Close();
  }

  std::uint16_t port() const {
    return static_cast<std::uint16_t>(service_->port());
  }

  // Counts calls as the probe in a program under test does.
  void Count(unsigned index, std::uint64_t calls) {
    tools::SegmentView view;
    ASSERT_EQ(tools::OpenSegment(tools::SegmentName(channel_, "Shop"), &view),
              tools::OpenStatus::kOk);
    view.counters[index].fetch_add(calls);
    tools::UnmapSegment(&view);
  }

  // The other harness's exchange.
  HttpAnswer OtherSends(const char* action) {
    EXPECT_TRUE(other_.Send(ActionRequest(port(), action)));
    std::optional<HttpAnswer> answer = other_.Receive();
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(HttpAnswer{});
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel("harnesses");
  std::optional<StartedService> service_;
  LoadedLibrary library_;
  HttpClient other_;
};

TEST_F(TwoHarnessesTest, TheLibrarysTestKeepsItsCountsWhenAnotherStartsOne) {
  ASSERT_TRUE(library_.SetTestName("Checkout"));
  ASSERT_TRUE(library_.StartNewTestCase());
  Count(0, 2);
  HttpAnswer refused = OtherSends("NEWTC");
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(refused.body, kRefusal);
  EXPECT_THAT(ReadFile(dir_.File("service.log")),
              HasSubstr(": refused: NEWTC: a test of another harness is "
                        "running, counts kept\n"));
  Count(2, 1);
  ASSERT_TRUE(library_.GetCollectedInformation());

  std::string result = ReadFile(dir_.File("result.csv"));
  std::size_t row = result.find("Checkout;");
  ASSERT_NE(row, std::string::npos) << result;
  // Everything but the runtime, which the service's clock gives.
  EXPECT_EQ(result.substr(row, 19), "Checkout;Shop;3;50;") << result;
  EXPECT_THAT(result.substr(row), HasSubstr(";0 2;1 3\r\n")) << result;
  // The library's test is over: the other harness may start one.
  EXPECT_EQ(OtherSends("NEWTC").status, 200);
}

TEST_F(TwoHarnessesTest, ALibraryTurnedAwayLogsTheAnswerAndGoesOn) {
  EXPECT_EQ(OtherSends("NEWTC").status, 200);
  Count(1, 3);
  ASSERT_TRUE(library_.SetTestName("Login"));
  EXPECT_TRUE(library_.StartNewTestCase());
  EXPECT_THAT(ReadLogLines(dir_.File("log.txt")),
              Contains(std::string("ERROR|Error in message: ") + kRefusal));
  Count(3, 4);
  HttpAnswer counts = OtherSends("ASK");
  EXPECT_THAT(counts.body, HasSubstr(R"("data":{"Shop":[0,3,0,4]})"));
  // The library goes on with its run.
  EXPECT_TRUE(library_.GetCollectedInformation());
  EXPECT_THAT(ReadFile(dir_.File("result.csv")),
              HasSubstr("\r\nLogin;Shop;7;50;"));
}

}  // namespace
}  // namespace ostrivel::collection
