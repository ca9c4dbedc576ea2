// Loads the built library the way a harness does and runs it against
// collection services that misbehave: answers dripped a byte at a time,
// lengths beyond any integer, connections that end anywhere, a body of
// 64 MiB, garbage, zero bytes, markup pages, silence, a full accept queue.
// Whatever the service does, the harness must go on: no crash, no half row
// in the result file, a log line that says what happened, and a next test
// cycle that works.

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
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
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;
using Kind = LoopbackService::Step::Kind;

constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kShopBody =
    R"({"timestamp":"2014.05.06 12:34:57.500","data":{"Shop":[3,0,1,0]}})";
constexpr const char* kHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\r\n";
constexpr const char* kClosing = "SIMPLE|Communicate with the service.";
constexpr const char* kReconnection =
    "Error in re-connection! Maybe no server running!";

// A receive time-out far beyond any answer of these services: a fault that
// leaves the library waiting shows as a "Connection reset!" in a failed
// test instead of a hung one.
constexpr int kGuardMs = 10000;

// The row that kShopBody gives a test named "name".
std::string ShopRow(const std::string& name) {
  return name + ";Shop;4;50;1500;0 2;1 3\r\n";
}

// "step" with the connection closed behind its last piece.
LoopbackService::Step ThenClose(LoopbackService::Step step) {
  step.kind = Kind::kAnswerThenClose;
  return step;
}

using Library = ostrivel::testing::LoadedLibrary;

class HostileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << dlerror();
    std::filesystem::create_directory(dir_.File("methods"));
    WriteFile(dir_.File("methods/shop.csv"),
              "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
  }

  // Hands Init a configuration for the service, with "extra" lines behind
  // the paths and the port; a receive time-out of kGuardMs unless "extra"
  // sets one.
  void InitWith(const std::string& extra, int port = -1) {
    if (port < 0) port = service_.port();
    WriteFile(dir_.File("config.txt"),
              "log_location: " + dir_.File("log.txt") + "\nres_location: " +
                  dir_.File("result.csv") + "\nbase_location: " + dir_.path() +
                  "\nmethods_location: " + dir_.File("methods/") +
                  "\nport: " + std::to_string(port) + "\nreceive_timeout_ms: " +
                  std::to_string(kGuardMs) + "\n" + extra);
    ASSERT_TRUE(library_.Init(dir_.File("config.txt").c_str()));
  }

  // One test cycle as a harness runs it; returns what StartNewTestCase
  // returned.
  bool Cycle(const char* name) {
    EXPECT_TRUE(library_.SetTestName(name));
    bool started = library_.StartNewTestCase();
    EXPECT_TRUE(library_.GetCollectedInformation());
    return started;
  }

  // Runs test "Broken", whose "ASK" meets "hostile", then test "Next"
  // against a sound service. Returns what went to standard error.
  std::string RunBrokenThenNext(LoopbackService::Step hostile,
                                const std::string& extra = "") {
    service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
    service_.Push(std::move(hostile));
    service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
    service_.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
    InitWith(extra);
    ::testing::internal::CaptureStderr();
    library_.Open();
    EXPECT_TRUE(Cycle("Broken"));
    EXPECT_TRUE(Cycle("Next"));
    library_.Close();
    return ::testing::internal::GetCapturedStderr();
  }

  // The log that RunBrokenThenNext() leaves: "hostile" are the lines of the
  // broken "ASK" exchange; "reconnects" says whether it cost the connection.
  std::vector<std::string> BrokenThenNextLog(
      const std::vector<std::string>& hostile, bool reconnects) const {
    std::vector<std::string> lines = {
        "SIMPLE|Device open.",
        "SIMPLE|Update the name of the test case. (Test name: Broken)",
        "SIMPLE|Start new test case.",
        Connected(),
        "SIMPLE|Evaluating.",
        kClosing,
        "SIMPLE|Get collected information."};
    lines.insert(lines.end(), hostile.begin(), hostile.end());
    lines.push_back(
        "SIMPLE|Update the name of the test case. (Test name: Next)");
    lines.push_back("SIMPLE|Start new test case.");
    if (reconnects) lines.push_back(Connected());
    for (const char* line :
         {"SIMPLE|Evaluating.", kClosing, "SIMPLE|Get collected information.",
          "SIMPLE|Evaluating.", kClosing, "SIMPLE|Device close."}) {
      lines.emplace_back(line);
    }
    return lines;
  }

  // The log as "LEVEL|message" lines ("?|" for continuation lines).
  std::vector<std::string> LogLines() const {
    return ostrivel::testing::ReadLogLines(dir_.File("log.txt"));
  }

  std::string Results() const { return ReadFile(dir_.File("result.csv")); }

  std::string Connected() const {
    return "SIMPLE|Device connected! (Host:localhost port:" +
           std::to_string(service_.port()) + ")";
  }

  TempDir dir_;
  LoopbackService service_;
  Library library_;
};

// "level|text" as LogLines() shows it: each line end of "text" (logged as
// CR LF) starts a "?|" line.
std::vector<std::string> Logged(const std::string& level,
                                const std::string& text) {
  std::vector<std::string> lines;
  std::string prefix = level + "|";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    lines.push_back(prefix + text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    prefix = "?|";
    start = end + 1;
  }
}

std::vector<std::string> Join(
    const std::vector<std::vector<std::string>>& groups) {
  std::vector<std::string> lines;
  for (const auto& group : groups) {
    lines.insert(lines.end(), group.begin(), group.end());
  }
  return lines;
}

// One misbehaving answer to "ASK", and what the library must make of it.
struct HostileCase {
  const char* name;
  LoopbackService::Step answer;
  std::vector<std::string> log;  // the lines of the broken exchange
  bool reconnects;               // the next cycle needs a new connection
  bool brokenRow;                // the broken test still gets its row
  std::string warnings = "";     // what reaches standard error
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

class HostileAnswerTest : public HostileServiceTest,
                          public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileAnswerTest, HarnessGoesOnAndRowsStayWhole) {
  const HostileCase& c = GetParam();
  service_.SetPiecePause(1);
  std::string warnings = RunBrokenThenNext(c.answer);
  EXPECT_EQ(warnings, c.warnings);
  EXPECT_THAT(LogLines(),
              ElementsAreArray(BrokenThenNextLog(c.log, c.reconnects)));
  EXPECT_EQ(Results(), std::string(kHeader) +
                           (c.brokenRow ? ShopRow("Broken") : "") +
                           ShopRow("Next"));
}

const std::string kCut = std::string(kShopBody).substr(0, 30);
const std::string kGarbage = "\x01\x02\xfe\xff\x7f garbage \x80\x90";
const std::string kPage =
    "<html><head><title>502</title></head><body>Bad gateway</body></html>";
const std::string kStyledPage =
    "<html><style>body{color:red}</style><body>Busy</body></html>";
const std::string kTrailer = " next";
// A zero byte inside the JSON text, with the length of all of it.
const std::string kZeroInBody =
    std::string(R"({"timestamp":"2014.05.06 12:34:57.500",)") + '\0' +
    R"("data":{"Shop":[3,0,1,0]}})";

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileAnswerTest,
    ::testing::Values(
        HostileCase{"DrippedByteByByte",
                    LoopbackService::Drip(HttpAnswer(kShopBody)),
                    {"SIMPLE|Evaluating.", kClosing},
                    false,
                    true},
        HostileCase{
            "LengthOfTwoToThe64",
            LoopbackService::AnswerThenClose(
                "HTTP/1.1 200 OK\r\nContent-Length: "
                "18446744073709551616\r\n\r\n" +
                std::string(kShopBody)),
            {"ERROR|Connection closed!", "SIMPLE|Evaluating.", kClosing},
            true,
            true},
        HostileCase{
            "LengthOfFortyDigits",
            LoopbackService::AnswerThenClose(
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::string(40, '9') +
                "\r\n\r\n" + kShopBody),
            {"ERROR|Connection closed!", "SIMPLE|Evaluating.", kClosing},
            true,
            true},
        HostileCase{"ClosedBeforeAnyByte",
                    LoopbackService::Close(),
                    {"ERROR|Connection closed!", kClosing},
                    true,
                    false},
        HostileCase{"ResetBeforeAnyByte",
                    LoopbackService::Reset(),
                    {"ERROR|Connection reset!", kClosing},
                    true,
                    false,
                    "Data parser.: Connection reset.\n"},
        HostileCase{
            "ClosedInTheHeaderName",
            LoopbackService::AnswerThenClose("HTTP/1.1 200 OK\r\nContent-Le"),
            {"ERROR|Connection closed!", kClosing},
            true,
            false},
        HostileCase{"ClosedInTheLengthValue",
                    ThenClose(LoopbackService::AnswerInPieces(
                        {"HTTP/1.1 200 OK\r\nContent-Length: 6", "8"})),
                    {"ERROR|Connection closed!", kClosing},
                    true,
                    false},
        HostileCase{"ClosedInTheBody",
                    LoopbackService::AnswerThenClose(
                        "HTTP/1.1 200 OK\r\nContent-Length: 68\r\n\r\n" + kCut),
                    {"ERROR|Connection closed!", "SIMPLE|Evaluating.",
                     "ERROR|Error in message: " + kCut, kClosing},
                    true,
                    false},
        HostileCase{"GarbageWithoutAHeader",
                    LoopbackService::AnswerThenClose(kGarbage),
                    {"ERROR|Connection closed!", kClosing},
                    true,
                    false},
        HostileCase{"GarbageBody",
                    LoopbackService::Answer(HttpAnswer(kGarbage)),
                    Join({Logged("ERROR", "No JSON body in message: " +
                                              HttpAnswer(kGarbage)),
                          {kClosing}}),
                    false, false},
        HostileCase{"GarbageAfterABrace",
                    LoopbackService::Answer(HttpAnswer("{" + kGarbage + "}")),
                    {"SIMPLE|Evaluating.",
                     "ERROR|Error in message: {" + kGarbage + "}", kClosing},
                    false,
                    false},
        HostileCase{"TlsAlertWithZeroBytes",
                    LoopbackService::AnswerThenClose(
                        std::string("\x15\x03\x03\x00\x02\x02\x46", 7)),
                    {"ERROR|Connection closed!", kClosing},
                    true,
                    false},
        HostileCase{
            "ZeroByteInTheHeader",
            LoopbackService::AnswerThenClose("HTTP/1.1 200 OK\r\n" +
                                             std::string(1, '\0') +
                                             HttpAnswer(kShopBody).substr(17)),
            {"ERROR|Connection closed!", kClosing},
            true,
            false},
        HostileCase{"ZeroByteInTheBody",
                    LoopbackService::Answer(HttpAnswer(kZeroInBody)),
                    {"SIMPLE|Evaluating.",
                     "ERROR|Error in message: " +
                         kZeroInBody.substr(0, kZeroInBody.find('\0')),
                     kClosing},
                    false,
                    false},
        HostileCase{
            "MarkupPage",
            LoopbackService::Answer(HttpAnswer(kPage, "502 Bad Gateway")),
            Logged("ERROR",
                   "Error in message: " + HttpAnswer(kPage, "502 Bad Gateway")),
            false, false},
        HostileCase{
            "MarkupPageWithAStyleBlock",
            LoopbackService::Answer(HttpAnswer(kStyledPage, "503 Busy")),
            {"SIMPLE|Evaluating.",
             "ERROR|Error in message: " +
                 kStyledPage.substr(kStyledPage.find('{')),
             kClosing},
            false,
            false},
        // Bytes behind the announced length in the same receive are not
        // part of the body; within the length they spoil it.
        HostileCase{"NextHeaderBehindTheBody",
                    LoopbackService::Answer(HttpAnswer(kShopBody) +
                                            "HTTP/1.1 200 OK\r\n"),
                    {"SIMPLE|Evaluating.", kClosing},
                    false,
                    true},
        HostileCase{
            "TextBehindTheValueWithinTheLength",
            LoopbackService::Answer(HttpAnswer(kShopBody + kTrailer)),
            {"SIMPLE|Evaluating.",
             std::string("ERROR|Error in message: ") + kShopBody + kTrailer,
             kClosing},
            false,
            false},
        HostileCase{"MarkupPageWithoutALength",
                    LoopbackService::AnswerThenClose(
                        "HTTP/1.0 502 Bad Gateway\r\n\r\n" + kPage),
                    {"ERROR|Connection closed!", kClosing},
                    true,
                    false}),
    [](const ::testing::TestParamInfo<HostileCase>& param) {
      return std::string(param.param.name);
    });

// A connection that ended in a receive, and what the configuration needs
// for it.
struct LostSocketCase {
  const char* name;
  LoopbackService::Step ask;
  std::string extra;
};

void PrintTo(const LostSocketCase& c, std::ostream* out) { *out << c.name; }

class CloseAfterALostConnectionTest
    : public HostileServiceTest,
      public ::testing::WithParamInterface<LostSocketCase> {};

TEST_P(CloseAfterALostConnectionTest, ReleasesTheSocket) {
  const LostSocketCase& c = GetParam();
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(c.ask);
  InitWith(c.extra);
  ::testing::internal::CaptureStderr();
  library_.Open();
  const int before = ostrivel::testing::OpenDescriptorCount();
  EXPECT_TRUE(Cycle("Lost"));
  EXPECT_TRUE(library_.Close());
  // The service sees the end of a connection it still holds open.
  EXPECT_TRUE(service_.WaitForOpenConnections(0, 2000));
  EXPECT_EQ(ostrivel::testing::OpenDescriptorCount(), before);
  ::testing::internal::GetCapturedStderr();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, CloseAfterALostConnectionTest,
    ::testing::Values(LostSocketCase{"Closed", LoopbackService::Close(), ""},
                      LostSocketCase{"Reset", LoopbackService::Reset(), ""},
                      LostSocketCase{"TimedOut", LoopbackService::NeverAnswer(),
                                     "receive_timeout_ms: 200\n"}),
    [](const ::testing::TestParamInfo<LostSocketCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(HostileServiceTest, BodyOf64MiBIsEvaluated) {
  // A sound answer with a padding member that nothing reads, streamed so
  // that the service never holds it whole.
  constexpr std::size_t kBodySize = std::size_t{64} << 20;
  std::string head = std::string(kShopBody);
  head.pop_back();
  head += R"(,"padding":")";
  const std::string tail = "\"}";
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Streamed(
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBodySize) +
          "\r\n\r\n" + head,
      'x', kBodySize - head.size() - tail.size(), tail));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
  InitWith("");
  library_.Open();
  library_.SetTestName("Big");
  library_.StartNewTestCase();

  std::size_t peakBefore = ostrivel::testing::PeakResidentBytes();
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(library_.GetCollectedInformation());
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  std::size_t peakAfter = ostrivel::testing::PeakResidentBytes();
  // Figures for the record, not assertions: speed belongs to benchmarks.
  std::printf("64 MiB answer: %lld ms, peak resident %zu MiB (was %zu MiB)\n",
              static_cast<long long>(elapsed.count()), peakAfter >> 20,
              peakBefore >> 20);
  RecordProperty("ElapsedMs", static_cast<int>(elapsed.count()));
  RecordProperty("PeakResidentMiB", static_cast<int>(peakAfter >> 20));

  EXPECT_TRUE(Cycle("Next"));
  library_.Close();
  EXPECT_EQ(Results(), kHeader + ShopRow("Big") + ShopRow("Next"));
  EXPECT_EQ(service_.Connections(), 1);
}

// The time-outs: a service that never answers ends the wait, as a reset
// would, but without the warning that nobody may be there to dismiss.

TEST_F(HostileServiceTest, SilenceAfterAskTimesOutWithoutWarning) {
  std::string warnings = RunBrokenThenNext(LoopbackService::NeverAnswer(),
                                           "receive_timeout_ms: 200\n");
  EXPECT_EQ(warnings, "");
  EXPECT_THAT(LogLines(), ElementsAreArray(BrokenThenNextLog(
                              {"ERROR|Connection reset!", kClosing}, true)));
  EXPECT_EQ(Results(), kHeader + ShopRow("Next"));
  EXPECT_EQ(service_.Connections(), 2);
}

TEST_F(HostileServiceTest, SilenceAfterNewTestCaseTimesOutAndAskSendsNothing) {
  service_.Push(LoopbackService::NeverAnswer());
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
  InitWith("receive_timeout_ms: 200\n");
  ::testing::internal::CaptureStderr();
  library_.Open();
  EXPECT_TRUE(Cycle("Silent"));
  EXPECT_TRUE(Cycle("Next"));
  library_.Close();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(
      LogLines(),
      ElementsAreArray(std::vector<std::string>{
          "SIMPLE|Device open.",
          "SIMPLE|Update the name of the test case. (Test name: Silent)",
          "SIMPLE|Start new test case.", Connected(), "ERROR|Connection reset!",
          kClosing, "SIMPLE|Get collected information.",
          "SIMPLE|Update the name of the test case. (Test name: Next)",
          "SIMPLE|Start new test case.", Connected(), "SIMPLE|Evaluating.",
          kClosing, "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
          kClosing, "SIMPLE|Device close."}));
  EXPECT_EQ(Results(), kHeader + ShopRow("Next"));
  // "Silent" sent "NEWTC" only; "Next" both requests, on a new connection.
  EXPECT_EQ(service_.RequestCount(), 3u);
}

TEST_F(HostileServiceTest, LengthBeyondTheBodyEndsAtTheTimeOut) {
  // The service keeps the connection open behind a body shorter than its
  // length: only the time-out ends the wait, and what arrived is evaluated.
  std::string warnings = RunBrokenThenNext(
      LoopbackService::Answer("HTTP/1.1 200 OK\r\nContent-Length: " +
                              std::string(40, '9') + "\r\n\r\n" + kShopBody),
      "receive_timeout_ms: 200\n");
  EXPECT_EQ(warnings, "");
  EXPECT_THAT(
      LogLines(),
      ElementsAreArray(BrokenThenNextLog(
          {"ERROR|Connection reset!", "SIMPLE|Evaluating.", kClosing}, true)));
  EXPECT_EQ(Results(), kHeader + ShopRow("Broken") + ShopRow("Next"));
}

TEST_F(HostileServiceTest, LateAnswerIsAwaitedWithoutATimeOut) {
  // 0 means no time-out, not an immediate one. The first answer is held
  // until the test's thread is seen asleep behind its request, which only a
  // wait for the answer brings about; a library that gave up at once would
  // have found nothing to read.
  service_.Push(
      LoopbackService::Held(LoopbackService::Answer(HttpAnswer(kStartBody))));
  service_.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
  InitWith("receive_timeout_ms: 0\nconnect_timeout_ms: 0\n");
  const int harnessThread = ostrivel::testing::CurrentThreadId();
  std::thread releaser([&] {
    if (service_.WaitForHeldStep(kGuardMs)) {
      ostrivel::testing::WaitUntilAsleep(harnessThread, kGuardMs);
    }
    service_.Release();
  });
  library_.Open();
  EXPECT_TRUE(Cycle("Late"));
  library_.Close();
  releaser.join();
  EXPECT_EQ(Results(), kHeader + ShopRow("Late"));
  EXPECT_THAT(LogLines(), Not(Contains("ERROR|Connection reset!")));
}

TEST_F(HostileServiceTest, FullAcceptQueueFailsAtTheConnectTimeOut) {
  ostrivel::testing::FullBacklogPort busy;
  InitWith("connect_timeout_ms: 200\n", busy.port());
  ::testing::internal::CaptureStderr();
  library_.Open();
  EXPECT_FALSE(Cycle("Busy"));
  std::string warnings = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(warnings, std::string("Re-Connection: ") + kReconnection + "\n");

  // The service is reachable now: the next cycle connects and gets its row.
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kShopBody)));
  InitWith("connect_timeout_ms: 200\n");
  EXPECT_TRUE(Cycle("Next"));
  library_.Close();

  EXPECT_THAT(
      LogLines(),
      ElementsAreArray(std::vector<std::string>{
          "SIMPLE|Device open.",
          "SIMPLE|Update the name of the test case. (Test name: Busy)",
          "SIMPLE|Start new test case.",
          "ERROR|Connection failed! (Host:localhost port:" +
              std::to_string(busy.port()) + ")",
          std::string("ERROR|") + kReconnection,
          "SIMPLE|Get collected information.",
          "SIMPLE|Update the name of the test case. (Test name: Next)",
          "SIMPLE|Start new test case.", Connected(), "SIMPLE|Evaluating.",
          kClosing, "SIMPLE|Get collected information.", "SIMPLE|Evaluating.",
          kClosing, "SIMPLE|Device close."}));
  EXPECT_EQ(Results(), kHeader + ShopRow("Next"));
}

TEST_F(HostileServiceTest, TimeOutKeysAreLoggedLikeTheOthers) {
  InitWith(
      "log_level: debug\nconnect_timeout_ms: 250\nreceive_timeout_ms: 0\n");
  std::vector<std::string> lines = LogLines();
  EXPECT_THAT(lines, Contains(R"(DEBUG|New connect_timeout_ms: "250")"));
  EXPECT_THAT(lines, Contains(R"(DEBUG|New receive_timeout_ms: "0")"));
}

}  // namespace
