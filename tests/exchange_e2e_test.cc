// Loads the built library the way a harness does and runs whole test cycles
// against a collection service on 127.0.0.1: the requests it sends, the
// result file, trace files and log it leaves, and how it lives through a
// service that is missing, goes away or ends the connection.

#include <dlfcn.h>

#include <filesystem>
#include <ostream>
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
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::StartsWith;
using Step = LoopbackService::Step;

constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kLoginBody =
    R"({"timestamp":"2014.05.06 12:34:57.500","data":{"Shop":[3,0,1,0]}})";
constexpr const char* kReconnection =
    "Error in re-connection! Maybe no server running!";
constexpr const char* kHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\r\n";
constexpr const char* kClosing = "SIMPLE|Communicate with the service.";
// Stands for the "Device connected!" line, whose port changes from run to run.
constexpr const char* kConnected = "SIMPLE|Device connected!";

using Library = ostrivel::testing::LoadedLibrary;
using ostrivel::testing::WorkingDirectory;

// "<connection>:<body>" of every request "service" got.
std::vector<std::string> ActionsOf(const LoopbackService& service) {
  std::vector<std::string> actions;
  for (const auto& request : service.Requests()) {
    std::string body = request.bytes.substr(request.bytes.find("\r\n\r\n") + 4);
    actions.push_back(std::to_string(request.connection) + ":" + body);
  }
  return actions;
}

// The row and the trace file that kLoginBody gives a test named "name".
std::string LoginRow(const std::string& name) {
  return name + ";Shop;4;50;1500;0 2;1 3\r\n";
}
constexpr const char* kLoginTrace =
    "ID; Method; Package; Number of calls\r\ne0;3\r\ne2;1\r\n";

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
  std::vector<std::string> Actions() const { return ActionsOf(service_); }

  std::string Connected() const {
    return "SIMPLE|Device connected! (Host:localhost port:" +
           std::to_string(service_.port()) + ")";
  }

  // LogLines() with kConnected for each "Device connected!" line.
  std::vector<std::string> LogLinesWithoutPort() const {
    std::vector<std::string> lines = LogLines();
    for (std::string& line : lines) {
      if (line == Connected()) line = kConnected;
    }
    return lines;
  }

  // One test cycle as a harness runs it; returns what StartNewTestCase
  // returned.
  bool Cycle(const char* name) {
    EXPECT_TRUE(library_.SetTestName(name));
    bool started = library_.StartNewTestCase();
    EXPECT_TRUE(library_.GetCollectedInformation());
    return started;
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

TEST_F(ExchangeE2eTest, SecondInitLoadsTheMethodListsOnce) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));
  InitForService();
  InitForService();
  library_.Open();
  EXPECT_TRUE(Cycle("Login"));
  library_.Close();
  // A list loaded twice is twice as long as the answer's counts, and its
  // trace file is refused.
  EXPECT_EQ(ReadFile(dir_.File("Login_Shop_trace.csv")), kLoginTrace);
  EXPECT_THAT(LogLines(), Each(Not(StartsWith("ERROR|"))));
}

// A restart of the service between two tests: the first request of the
// second test finds the old connection closed, and the test still gets its
// row over a new one.
TEST_F(ExchangeE2eTest, RestartedServiceCostsNoTest) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));
  InitForService();
  library_.Open();
  EXPECT_TRUE(Cycle("Before"));
  service_.Stop();
  LoopbackService restarted(service_.port());
  restarted.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  restarted.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));
  EXPECT_TRUE(Cycle("After"));
  library_.Close();

  EXPECT_EQ(ReadFile(dir_.File("result.csv")),
            kHeader + LoginRow("Before") + LoginRow("After"));
  EXPECT_THAT(ActionsOf(restarted),
              ElementsAre(R"(0:{"action":"NEWTC"})", R"(0:{"action":"ASK"})"));
  EXPECT_THAT(
      LogLinesWithoutPort(),
      ElementsAre(
          "SIMPLE|Device open.",
          "SIMPLE|Update the name of the test case. (Test name: Before)",
          "SIMPLE|Start new test case.", kConnected, "SIMPLE|Evaluating.",
          kClosing, "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
          kClosing,
          "SIMPLE|Update the name of the test case. (Test name: After)",
          "SIMPLE|Start new test case.", "ERROR|Connection closed!", kClosing,
          kConnected, "SIMPLE|Evaluating.", kClosing,
          "SIMPLE|Get collected information.", "SIMPLE|Evaluating.", kClosing,
          "SIMPLE|Device close."));
}

TEST_F(ExchangeE2eTest, ServiceGoneForGoodFailsTheSecondConnection) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kLoginBody)));
  InitForService();
  library_.Open();
  EXPECT_TRUE(Cycle("Before"));
  service_.Stop();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(Cycle("After"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            std::string("Re-Connection: ") + kReconnection + "\n");
  library_.Close();

  EXPECT_EQ(ReadFile(dir_.File("result.csv")), kHeader + LoginRow("Before"));
  std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_THAT(
      std::vector<std::string>(lines.end() - 7, lines.end()),
      ElementsAre("SIMPLE|Start new test case.", "ERROR|Connection closed!",
                  kClosing,
                  "ERROR|Connection failed! (Host:localhost port:" +
                      std::to_string(service_.port()) + ")",
                  std::string("ERROR|") + kReconnection,
                  "SIMPLE|Get collected information.", "SIMPLE|Device close."));
}

// How the connection of test "A" is lost before test "B" starts, and what
// "B" makes of it.
struct LostConnectionCase {
  const char* name;
  Step askOfA;             // the answer to A's "ASK"
  std::vector<Step> forB;  // what the service does with B's requests
  bool started;            // what B's StartNewTestCase returns
  std::vector<std::string> actions;
  std::vector<std::string> logOfB;  // from B's "Start new test case." on
  bool rowOfB;
  std::string warnings = "";
};

void PrintTo(const LostConnectionCase& c, std::ostream* out) { *out << c.name; }

class LostConnectionTest
    : public ExchangeE2eTest,
      public ::testing::WithParamInterface<LostConnectionCase> {};

TEST_P(LostConnectionTest, NewTestCaseConnectsOnceMore) {
  const LostConnectionCase& c = GetParam();
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(c.askOfA);
  for (const Step& step : c.forB) service_.Push(step);
  InitForService();
  ::testing::internal::CaptureStderr();
  library_.Open();
  EXPECT_TRUE(Cycle("A"));
  // A close behind A's answer must be through before B's request, which
  // would otherwise race with it.
  ASSERT_TRUE(service_.WaitForOpenConnections(
      c.askOfA.kind == Step::Kind::kAnswerThenClose ? 0 : 1));
  EXPECT_EQ(Cycle("B"), c.started);
  library_.Close();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.warnings);

  EXPECT_THAT(Actions(), ElementsAreArray(c.actions));
  std::vector<std::string> expected = {
      "SIMPLE|Device open.",
      "SIMPLE|Update the name of the test case. (Test name: A)",
      "SIMPLE|Start new test case.",
      kConnected,
      "SIMPLE|Evaluating.",
      kClosing,
      "SIMPLE|Get collected information.",
      "SIMPLE|Evaluating.",
      kClosing,
      "SIMPLE|Update the name of the test case. (Test name: B)"};
  expected.insert(expected.end(), c.logOfB.begin(), c.logOfB.end());
  expected.emplace_back("SIMPLE|Device close.");
  EXPECT_THAT(LogLinesWithoutPort(), ElementsAreArray(expected));
  EXPECT_EQ(ReadFile(dir_.File("result.csv")),
            kHeader + LoginRow("A") + (c.rowOfB ? LoginRow("B") : ""));
}

const char* const kNewTc0 = R"(0:{"action":"NEWTC"})";
const char* const kAsk0 = R"(0:{"action":"ASK"})";
const char* const kNewTc1 = R"(1:{"action":"NEWTC"})";
const char* const kAsk1 = R"(1:{"action":"ASK"})";

INSTANTIATE_TEST_SUITE_P(
    Losses, LostConnectionTest,
    ::testing::Values(
        LostConnectionCase{
            "ClosedBehindTheLastAnswer",
            LoopbackService::AnswerThenClose(HttpAnswer(kLoginBody)),
            {LoopbackService::Answer(HttpAnswer(kStartBody)),
             LoopbackService::Answer(HttpAnswer(kLoginBody))},
            true,
            {kNewTc0, kAsk0, kNewTc1, kAsk1},
            {"SIMPLE|Start new test case.", "ERROR|Connection closed!",
             kClosing, kConnected, "SIMPLE|Evaluating.", kClosing,
             "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
             kClosing},
            true},
        LostConnectionCase{
            "ResetInsteadOfAnAnswer",
            LoopbackService::Answer(HttpAnswer(kLoginBody)),
            {LoopbackService::Reset(),
             LoopbackService::Answer(HttpAnswer(kStartBody)),
             LoopbackService::Answer(HttpAnswer(kLoginBody))},
            true,
            {kNewTc0, kAsk0, kNewTc0, kNewTc1, kAsk1},
            {"SIMPLE|Start new test case.", "ERROR|Connection reset!", kClosing,
             kConnected, "SIMPLE|Evaluating.", kClosing,
             "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
             kClosing},
            true,
            "Data parser.: Connection reset.\n"},
        // Only one more connection: a service that keeps closing costs the
        // test, not the harness's time.
        LostConnectionCase{
            "ClosedAgainOnTheNewConnection",
            LoopbackService::Answer(HttpAnswer(kLoginBody)),
            {LoopbackService::Close(), LoopbackService::Close()},
            true,
            {kNewTc0, kAsk0, kNewTc0, kNewTc1},
            {"SIMPLE|Start new test case.", "ERROR|Connection closed!",
             kClosing, kConnected, "ERROR|Connection closed!", kClosing,
             "SIMPLE|Get collected information."},
            false},
        // Part of an answer came: the service may have started the test, so
        // "NEWTC" is not sent again.
        LostConnectionCase{
            "ClosedWithinTheAnswer",
            LoopbackService::Answer(HttpAnswer(kLoginBody)),
            {LoopbackService::AnswerThenClose("HTTP/1.1 200 OK\r\nContent-Le")},
            true,
            {kNewTc0, kAsk0, kNewTc0},
            {"SIMPLE|Start new test case.", "ERROR|Connection closed!",
             kClosing, "SIMPLE|Get collected information."},
            false}),
    [](const ::testing::TestParamInfo<LostConnectionCase>& param) {
      return std::string(param.param.name);
    });

// A line break in a name, and the name as every output must show it.
struct LineBreakCase {
  const char* name;
  std::string testName;     // given to SetTestName; when empty, GetCurrentPath
  std::string directory;    // runs in a working directory of this name
  std::string application;  // the member name in the answer, as JSON
  std::string header;       // the first line of the method list
  std::string shownTest;
  std::string shownApplication;
};

void PrintTo(const LineBreakCase& c, std::ostream* out) { *out << c.name; }

class LineBreakInNameTest
    : public ExchangeE2eTest,
      public ::testing::WithParamInterface<LineBreakCase> {};

TEST_P(LineBreakInNameTest, IsWrittenAsAnUnderscoreEverywhere) {
  const LineBreakCase& c = GetParam();
  WriteFile(dir_.File("methods/shop.csv"), c.header + "\ne0\ne1\ne2\ne3\n");
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(
      HttpAnswer(R"({"timestamp":"2014.05.06 12:34:57.500","data":{")" +
                 c.application + R"(":[3,0,1,0]}})")));
  InitWith("port: " + std::to_string(service_.port()) + "\nlog_level: debug\n");
  library_.Open();
  if (c.testName.empty()) {
    std::filesystem::create_directory(dir_.File(c.directory));
    WorkingDirectory cwd(dir_.File(c.directory));
    EXPECT_TRUE(library_.GetCurrentPath());
  } else {
    EXPECT_TRUE(library_.SetTestName(c.testName.c_str()));
  }
  EXPECT_TRUE(library_.StartNewTestCase());
  EXPECT_TRUE(library_.GetCollectedInformation());
  library_.Close();

  EXPECT_EQ(ReadFile(dir_.File("result.csv")), kHeader + c.shownTest + ";" +
                                                   c.shownApplication +
                                                   ";4;50;1500;0 2;1 3\r\n");
  EXPECT_EQ(ReadFile(dir_.File(c.shownTest + "_" + c.shownApplication +
                               "_trace.csv")),
            kLoginTrace);
  EXPECT_THAT(LogLines(),
              IsSupersetOf({"SIMPLE|Update the name of the test case. (Test "
                            "name: " +
                                c.shownTest + ")",
                            "DEBUG|Test name: " + c.shownTest,
                            "DEBUG|Application name: " + c.shownApplication}));
}

INSTANTIATE_TEST_SUITE_P(
    Names, LineBreakInNameTest,
    ::testing::Values(
        LineBreakCase{"LineFeedInTestName", "Log\nin", "", "Shop",
                      "ProjectName;Shop", "Log_in", "Shop"},
        LineBreakCase{"CarriageReturnsInTestName", "Log\r\nin\r", "", "Shop",
                      "ProjectName;Shop", "Log__in_", "Shop"},
        LineBreakCase{"LineFeedInDirectoryName", "", "Log\nin", "Shop",
                      "ProjectName;Shop", "Log_in", "Shop"},
        // The ";" keep their effect: the columns shift, no row is added.
        LineBreakCase{"RowForgedInApplicationName", "Login", "",
                      R"(Shop\nForged;Row;9;100;0;0;)",
                      "ProjectName;Shop_Forged;Row;9;100;0;0;", "Login",
                      "Shop_Forged;Row;9;100;0;0;"},
        // A method list may name the application with a carriage return as
        // well; both sides still meet.
        LineBreakCase{"CarriageReturnInApplicationName", "Login", "",
                      R"(Sh\rop)", "ProjectName;Sh\rop", "Login", "Sh_op"}),
    [](const ::testing::TestParamInfo<LineBreakCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
