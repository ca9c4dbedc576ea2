// Loads the built library the way a harness does and runs whole test cycles
// against a collection service on 127.0.0.1: the requests it sends, the
// result file, trace files and log it leaves, and how it lives through a
// service that is missing, goes away or ends the connection.

#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/loopback_service.h"
#include "testing/temp_dir.h"
#include "tests/loaded_library.h"

namespace {

using ostrivel::testing::HttpAnswer;
using ostrivel::testing::LoopbackService;
using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kLoginBody =
    R"({"timestamp":"2014.05.06 12:34:57.500","data":{"Shop":[3,0,1,0]}})";
constexpr const char* kReconnection =
    "Error in re-connection! Maybe no server running!";

using Library = ostrivel::testing::LoadedLibrary;

// A test run: its own directory for the configuration, the methods, the
// log, the result file and the trace files, and a loaded library.
class ExchangeE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << dlerror();
    std::filesystem::create_directory(dir_.File("methods"));
    WriteFile(dir_.File("methods/shop.csv"),
              "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
  }

  // Writes the configuration (with "extra" lines behind the paths) and
  // hands it to Init.
  void InitWith(const std::string& extra) {
    WriteFile(dir_.File("config.txt"),
              "log_location: " + dir_.File("log.txt") + "\nres_location: " +
                  dir_.File("result.csv") + "\nbase_location: " + dir_.path() +
                  "\nmethods_location: " + dir_.File("methods/") + "\n" +
                  extra);
    ASSERT_TRUE(library_.Init(dir_.File("config.txt").c_str()));
  }
  void InitForService() {
    InitWith("port: " + std::to_string(service_.port()) + "\n");
  }

  // The log as "LEVEL|message" lines ("?|" for continuation lines).
  std::vector<std::string> LogLines() const {
    return ostrivel::testing::ReadLogLines(dir_.File("log.txt"));
  }

  // "<connection>:<body>" of every request the service got.
  std::vector<std::string> Actions() const {
    std::vector<std::string> actions;
    for (const auto& request : service_.Requests()) {
      std::string body =
          request.bytes.substr(request.bytes.find("\r\n\r\n") + 4);
      actions.push_back(std::to_string(request.connection) + ":" + body);
    }
    return actions;
  }

  std::string Connected() const {
    return "SIMPLE|Device connected! (Host:localhost port:" +
           std::to_string(service_.port()) + ")";
  }

  TempDir dir_;
  LoopbackService service_;
  Library library_;
};

TEST_F(ExchangeE2eTest, WholeLifecycleLeavesResultTraceAndLog) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));

  InitForService();
  EXPECT_TRUE(library_.Open());
  EXPECT_TRUE(library_.SetTestName("Login"));
  EXPECT_TRUE(library_.StartNewTestCase());
  EXPECT_TRUE(library_.GetCollectedInformation());
  EXPECT_TRUE(library_.Close());

  std::string address = "localhost:" + std::to_string(service_.port());
  std::vector<LoopbackService::Request> requests = service_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bytes, "POST http://" + address +
                                   " HTTP/1.1\r\n"
                                   "Host: localhost\r\n"
                                   "Content-Encoding: identity\r\n"
                                   "Content-Type: application/json\r\n"
                                   "Content-Length: 18\r\n"
                                   "\r\n"
                                   R"({"action":"NEWTC"})");
  EXPECT_EQ(requests[1].bytes, "POST http://" + address +
                                   " HTTP/1.1\r\n"
                                   "Host: localhost\r\n"
                                   "Content-Encoding: identity\r\n"
                                   "Content-Type: application/json\r\n"
                                   "Content-Length: 16\r\n"
                                   "\r\n"
                                   R"({"action":"ASK"})");
  EXPECT_EQ(requests[1].connection, 0);

  EXPECT_EQ(ReadFile(dir_.File("result.csv")),
            "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
            "Covered Methods' IDs;Not Covered Methods' IDs\r\n"
            "Login;Shop;4;50;1500;0 2;1 3\r\n");
  EXPECT_EQ(ReadFile(dir_.File("Login_Shop_trace.csv")),
            "ID; Method; Package; Number of calls\r\ne0;3\r\ne2;1\r\n");
  EXPECT_THAT(
      LogLines(),
      ElementsAre("SIMPLE|Device open.",
                  "SIMPLE|Update the name of the test case. (Test name: Login)",
                  "SIMPLE|Start new test case.", Connected(),
                  "SIMPLE|Evaluating.", "SIMPLE|Communicate with the service.",
                  "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
                  "SIMPLE|Communicate with the service.",
                  "SIMPLE|Device close."));
}

TEST_F(ExchangeE2eTest, ConfiguredHostGoesIntoTheRequests) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  InitWith("host_name: 127.0.0.1\nport: " + std::to_string(service_.port()) +
           "\n");
  library_.Open();
  EXPECT_TRUE(library_.StartNewTestCase());
  EXPECT_TRUE(library_.GetCollectedInformation());
  library_.Close();

  std::string head =
      "POST http://127.0.0.1:" + std::to_string(service_.port()) +
      " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Encoding: identity\r\n"
      "Content-Type: application/json\r\n";
  std::vector<LoopbackService::Request> requests = service_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bytes,
            head + "Content-Length: 18\r\n\r\n" + R"({"action":"NEWTC"})");
  EXPECT_EQ(requests[1].bytes,
            head + "Content-Length: 16\r\n\r\n" + R"({"action":"ASK"})");
}

TEST_F(ExchangeE2eTest, MissingServiceFailsThenALaterCallConnects) {
  ostrivel::testing::RefusingPort refusing;
  InitWith("port: " + std::to_string(refusing.port()) + "\n");
  library_.Open();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(library_.StartNewTestCase());
  std::string warnings = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(warnings, std::string("Re-Connection: ") + kReconnection + "\n");
  EXPECT_TRUE(library_.GetCollectedInformation());

  // The service is there now.
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  InitForService();
  EXPECT_TRUE(library_.StartNewTestCase());
  library_.Close();

  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})"));
  EXPECT_THAT(
      LogLines(),
      ElementsAre("SIMPLE|Device open.", "SIMPLE|Start new test case.",
                  "ERROR|Connection failed! (Host:localhost port:" +
                      std::to_string(refusing.port()) + ")",
                  std::string("ERROR|") + kReconnection,
                  "SIMPLE|Get collected information.",
                  "SIMPLE|Start new test case.", Connected(),
                  "SIMPLE|Evaluating.", "SIMPLE|Communicate with the service.",
                  "SIMPLE|Device close."));
}

TEST_F(ExchangeE2eTest, LostConnectionIsNoticedThenReplaced) {
  service_.Push(LoopbackService::AnswerThenClose(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  InitForService();
  library_.Open();
  EXPECT_TRUE(library_.StartNewTestCase());
  // Once the close is through, the next request meets a closed connection
  // (not one closed with the request unread, which would be a reset).
  ASSERT_TRUE(service_.WaitForOpenConnections(0));
  EXPECT_TRUE(library_.GetCollectedInformation());  // notices the end
  EXPECT_TRUE(library_.GetCollectedInformation());  // sends nothing
  EXPECT_TRUE(library_.StartNewTestCase());         // connects anew
  library_.Close();

  EXPECT_THAT(Actions(), ElementsAre(R"(0:{"action":"NEWTC"})",
                                     R"(1:{"action":"NEWTC"})"));
  EXPECT_THAT(
      LogLines(),
      ElementsAre(
          "SIMPLE|Device open.", "SIMPLE|Start new test case.", Connected(),
          "SIMPLE|Evaluating.", "SIMPLE|Communicate with the service.",
          "SIMPLE|Get collected information.", "ERROR|Connection closed!",
          "SIMPLE|Communicate with the service.",
          "SIMPLE|Get collected information.", "SIMPLE|Start new test case.",
          Connected(), "SIMPLE|Evaluating.",
          "SIMPLE|Communicate with the service.", "SIMPLE|Device close."));
}

TEST_F(ExchangeE2eTest, ServiceGoneBeforeTheNextExchange) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  InitForService();
  library_.Open();
  EXPECT_TRUE(library_.StartNewTestCase());
  service_.Stop();
  // The request goes to a connection that is gone; the process must live
  // on (no SIGPIPE) and the harness must go on.
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(library_.GetCollectedInformation());
  EXPECT_TRUE(library_.GetCollectedInformation());
  EXPECT_FALSE(library_.StartNewTestCase());
  ::testing::internal::GetCapturedStderr();
  library_.Close();
  std::vector<std::string> lines = LogLines();
  EXPECT_THAT(lines, Contains(HasSubstr("|Connection ")));
  EXPECT_THAT(lines, Contains(std::string("ERROR|") + kReconnection));
}

TEST_F(ExchangeE2eTest, ManyFailedStartsLeakNoDescriptor) {
  ostrivel::testing::RefusingPort refusing;
  InitWith("port: " + std::to_string(refusing.port()) + "\nlog_level: error\n");
  library_.Open();
  int before = ostrivel::testing::OpenDescriptorCount();
  ::testing::internal::CaptureStderr();
  for (int attempt = 0; attempt < 10000; ++attempt) {
    ASSERT_FALSE(library_.StartNewTestCase());
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ostrivel::testing::OpenDescriptorCount(), before);
  library_.Close();
}

}  // namespace
