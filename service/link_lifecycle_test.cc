// The service link as the harness drives it, through the exported functions.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "coverage/method_list.h"
#include "harness/state.h"
#include "ostrivel/functionality.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/loopback_service.h"

namespace ostrivel::service {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Warning = testing::CapturedOutput::Warning;
using testing::HttpAnswer;
using testing::LoopbackService;

constexpr const char* kReconnection =
    "Error in re-connection! Maybe no server running!";
constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kLoginBody =
    R"({"timestamp":"2014.05.06 12:34:57.500","data":{"Shop":[3,0,1,0]}})";

class LinkLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { harness::State().settings.port = service_.port(); }
  void TearDown() override { Functionality::Close(); }

  harness::CollectorState& collector() { return harness::State().collector; }

  std::vector<std::string> Actions() const {
    std::vector<std::string> actions;
    for (const auto& request : service_.Requests()) {
      std::string tail =
          request.bytes.substr(request.bytes.find("\r\n\r\n") + 4);
      actions.push_back(std::to_string(request.connection) + ":" + tail);
    }
    return actions;
  }

  std::string Connected() const {
    return "SIMPLE|Device connected! (Host:localhost port:" +
           std::to_string(service_.port()) + ")";
  }

  testing::TestEnvironment env_{1};
  testing::CapturedOutput output_;
  LoopbackService service_;
};

TEST_F(LinkLifecycleTest, NoServiceFailsAndWarnsThenALaterCallConnects) {
  testing::RefusingPort refusing;
  harness::State().settings.port = refusing.port();
  EXPECT_FALSE(Functionality::StartNewTestCase());
  EXPECT_FALSE(collector().connected);
  EXPECT_THAT(output_.warnings(),
              ElementsAre(Warning{"Re-Connection", kReconnection}));
  EXPECT_TRUE(Functionality::GetCollectedInformation());

  harness::State().settings.port = service_.port();
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_TRUE(collector().connected);
  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})"));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("SIMPLE|Start new test case.",
                          "ERROR|Connection failed! (Host:localhost port:" +
                              std::to_string(refusing.port()) + ")",
                          std::string("ERROR|") + kReconnection,
                          "SIMPLE|Get collected information.",
                          "SIMPLE|Start new test case.", Connected(),
                          "SIMPLE|Evaluating.",
                          "SIMPLE|Communicate with the service."));
}

TEST_F(LinkLifecycleTest, ManyFailedStartsLeakNoDescriptor) {
  testing::RefusingPort refusing;
  harness::State().settings.port = refusing.port();
  harness::State().settings.log_level = 3;  // nothing new in 30,000 lines
  int before = testing::OpenDescriptorCount();
  for (int attempt = 0; attempt < 10000; ++attempt) {
    ASSERT_FALSE(Functionality::StartNewTestCase());
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST_F(LinkLifecycleTest, TwoNewTestCasesShareOneConnection) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})",
                                     R"(0:{"action":"NEWTC"})"));
  EXPECT_EQ(service_.Connections(), 1);
}

TEST_F(LinkLifecycleTest, LostConnectionIsNoticedThenReplaced) {
  service_.Push(LoopbackService::AnswerThenClose(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_TRUE(collector().connected);  // not noticed yet
  // Once the close is through, the next request meets a closed connection
  // (not one closed with the request unread, which would be a reset).
  ASSERT_TRUE(service_.WaitForOpenConnections(0));

  collector().resultFileExists = true;
  EXPECT_TRUE(Functionality::GetCollectedInformation());  // notices it
  EXPECT_FALSE(collector().connected);
  EXPECT_FALSE(collector().resultFileExists);

  collector().resultFileExists = true;
  EXPECT_TRUE(Functionality::GetCollectedInformation());  // sends nothing
  EXPECT_TRUE(collector().resultFileExists);

  EXPECT_TRUE(Functionality::StartNewTestCase());  // connects anew
  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})",
                                     R"(1:{"action":"NEWTC"})"));
  EXPECT_THAT(
      env_.LogLines(),
      ElementsAre(
          "SIMPLE|Start new test case.", Connected(), "SIMPLE|Evaluating.",
          "SIMPLE|Communicate with the service.",
          "SIMPLE|Get collected information.", "ERROR|Connection closed!",
          "SIMPLE|Communicate with the service.",
          "SIMPLE|Get collected information.", "SIMPLE|Start new test case.",
          Connected(), "SIMPLE|Evaluating.",
          "SIMPLE|Communicate with the service."));
  EXPECT_THAT(output_.warnings(), IsEmpty());
}

TEST_F(LinkLifecycleTest, AfterCloseNothingUsesTheOldSocket) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_TRUE(Functionality::Close());
  EXPECT_TRUE(Functionality::GetCollectedInformation());
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})",
                                     R"(1:{"action":"NEWTC"})"));
}

TEST_F(LinkLifecycleTest, OneCycleWritesTheResultRowAndTheTraceFile) {
  testing::WriteFile(env_.dir().File("shop.csv"),
                     "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
  coverage::OpenMethodList(env_.dir().File("shop.csv"), env_.methodLists());
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));

  EXPECT_TRUE(Functionality::SetTestName("Login"));
  EXPECT_TRUE(Functionality::StartNewTestCase());
  EXPECT_TRUE(Functionality::GetCollectedInformation());

  EXPECT_EQ(testing::ReadFile(env_.resultPath()),
            "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
            "Covered Methods' IDs;Not Covered Methods' IDs\r\n"
            "Login;Shop;4;50;1500;0 2;1 3\r\n");
  EXPECT_EQ(testing::ReadFile(env_.dir().File("Login_Shop_trace.csv")),
            "ID; Method; Package; Number of calls\r\ne0;3\r\ne2;1\r\n");
  EXPECT_THAT(Actions(),
              ElementsAre(R"(0:{"action":"NEWTC"})", R"(0:{"action":"ASK"})"));
  EXPECT_FALSE(collector().resultFileExists);
}

}  // namespace
}  // namespace ostrivel::service
