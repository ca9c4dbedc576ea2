#include "service/exchange.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/state.h"
#include "platform/operations.h"
#include "service/connection.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/loopback_service.h"

namespace ostrivel::service {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::HttpAnswer;
using ::testing::IsEmpty;
using testing::LoopbackService;
using ::testing::Not;

// An answer body without "data", as the service gives for "NEWTC".
constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.789"})";

// "text" as the log file holds it: every "\n" written as CR LF.
std::string AsLogged(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness::State().settings.port = service_.port();
    ASSERT_TRUE(ConnectToService());
    collector().connected = true;
    ForgetLog();
  }
  void TearDown() override {
    platform::Current().closeSocket(collector().serviceSocket);
  }

  harness::CollectorState& collector() { return harness::State().collector; }
  void ForgetLog() { testing::WriteFile(env_.logPath(), ""); }

  void Exchange(const char* action = "ASK") {
    SendRequest(BuildRequestBody(action));
  }

  // The log lines of level 1 and 2 without the continuation lines of
  // messages that span several lines.
  std::vector<std::string> Summary() const {
    std::vector<std::string> lines;
    for (const std::string& line : env_.LogLines()) {
      if (line.starts_with("SIMPLE|") || line.starts_with("ERROR|")) {
        lines.push_back(line);
      }
    }
    return lines;
  }

  // The bodies handed to the evaluation: each is logged at level 0 right
  // before the evaluation writes "Evaluating.".
  std::vector<std::string> EvaluatedBodies() const {
    std::vector<std::string> lines = env_.LogLines();
    std::vector<std::string> bodies;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (lines[i] == "SIMPLE|Evaluating.") bodies.push_back(lines[i - 1]);
    }
    return bodies;
  }

  testing::TestEnvironment env_{0};
  testing::CapturedOutput output_;
  LoopbackService service_;
};

TEST_F(ExchangeTest, RequestBodiesAreCompactJson) {
  EXPECT_EQ(BuildRequestBody("NEWTC"), R"({"action":"NEWTC"})");
  EXPECT_EQ(BuildRequestBody("ASK"), R"({"action":"ASK"})");
}

TEST_F(ExchangeTest, RequestsGoOutByteForByte) {
  harness::State().settings.host_name = "127.0.0.1";
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  Exchange("NEWTC");
  Exchange("ASK");
  std::string address = "127.0.0.1:" + std::to_string(service_.port());
  std::vector<LoopbackService::Request> requests = service_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bytes, "POST http://" + address +
                                   " HTTP/1.1\r\n"
                                   "Host: 127.0.0.1\r\n"
                                   "Content-Encoding: identity\r\n"
                                   "Content-Type: application/json\r\n"
                                   "Content-Length: 18\r\n"
                                   "\r\n"
                                   R"({"action":"NEWTC"})");
  EXPECT_EQ(requests[1].bytes, "POST http://" + address +
                                   " HTTP/1.1\r\n"
                                   "Host: 127.0.0.1\r\n"
                                   "Content-Encoding: identity\r\n"
                                   "Content-Type: application/json\r\n"
                                   "Content-Length: 16\r\n"
                                   "\r\n"
                                   R"({"action":"ASK"})");
  EXPECT_EQ(requests[1].connection, 0);
}

TEST_F(ExchangeTest, LogsEveryStepOfOneExchange) {
  std::string answer = HttpAnswer(kStartBody);
  service_.Push(LoopbackService::Answer(answer));
  Exchange("NEWTC");
  std::string port = std::to_string(service_.port());
  std::size_t requestSize = 150 + port.size();
  EXPECT_EQ(service_.Requests().at(0).bytes.size(), requestSize);
  EXPECT_THAT(
      env_.LogLines(),
      ElementsAre(R"(DEBUG|Sending message... (content: {"action":"NEWTC"}))",
                  "DEBUG|Sent message length:" + std::to_string(requestSize),
                  "DEBUG|Receiving data...", "DEBUG|Received: ",
                  "DEBUG|HTTP/1.1 200 OK\r", "Content-Type: application/json\r",
                  "Content-Length: 39\r", "\r", kStartBody,
                  std::string("DEBUG|") + kStartBody, "SIMPLE|Evaluating.",
                  "SIMPLE|Communicate with the service."));
  EXPECT_NE(collector().testStartTime, 0);
  EXPECT_TRUE(collector().connected);
}

TEST_F(ExchangeTest, PiecesAreJoinedBeforeTheBodyIsEvaluated) {
  // Split in the header name, in the value and in the body.
  service_.Push(LoopbackService::AnswerInPieces(
      {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 3", "9\r\n\r\n{\"timest",
       "amp\":\"2014.05.06 12:34:56.789\"}"}));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
  EXPECT_THAT(Summary(), ElementsAre("SIMPLE|Evaluating.",
                                     "SIMPLE|Communicate with the service."));
}

TEST_F(ExchangeTest, SeveralBlanksBeforeTheValueAreSkipped) {
  service_.Push(LoopbackService::Answer(
      std::string("HTTP/1.1 200 OK\r\nContent-Length:     39\r\n\r\n") +
      kStartBody));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
}

TEST_F(ExchangeTest, LengthZeroOrATabBeforeTheDigitsIsNotEvaluated) {
  service_.Push(LoopbackService::Answer(
      std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") +
      kStartBody));
  Exchange();
  // The body of the first answer may still be on its way: a fresh
  // connection keeps the second case apart.
  ASSERT_TRUE(ConnectToService());
  service_.Push(LoopbackService::Answer(
      std::string("HTTP/1.1 200 OK\r\nContent-Length:\t39\r\n\r\n") +
      kStartBody));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(), IsEmpty());
  EXPECT_THAT(Summary(), ElementsAre("SIMPLE|Communicate with the service.",
                                     "SIMPLE|Device connected! (Host:localhost "
                                     "port:" +
                                         std::to_string(service_.port()) + ")",
                                     "SIMPLE|Communicate with the service."));
}

TEST_F(ExchangeTest, ErrorStatusWithAJsonBodyIsEvaluated) {
  service_.Push(LoopbackService::Answer(
      HttpAnswer(kStartBody, "500 Internal Server Error")));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
}

TEST_F(ExchangeTest, MarkupPageIsRefusedWithoutWaitingForMore) {
  // The service keeps the connection open: waiting for a "{" would block.
  std::string page = HttpAnswer("<html><body>No.</body></html>", "404 No");
  service_.Push(LoopbackService::Answer(page));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(), IsEmpty());
  EXPECT_THAT(
      env_.RawLog(),
      HasSubstr("ERROR ]  Error in message: " + AsLogged(page) + "\r\n"));
  EXPECT_THAT(env_.RawLog(), Not(HasSubstr("Communicate with the service.")));
  EXPECT_TRUE(collector().connected);
}

TEST_F(ExchangeTest, MarkupArrivingInPiecesIsRefused) {
  service_.Push(LoopbackService::AnswerInPieces(
      {"HTTP/1.1 502 Bad\r\nContent-Length: 13\r\n\r\n", "<html></html>"}));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(), IsEmpty());
  EXPECT_THAT(env_.RawLog(), HasSubstr("ERROR ]  Error in message: HTTP/1.1"));
  EXPECT_THAT(env_.RawLog(), Not(HasSubstr("Communicate with the service.")));
}

TEST_F(ExchangeTest, CompleteAnswerWithoutABodyEndsAtOnce) {
  std::string answer = HttpAnswer("plain");
  service_.Push(LoopbackService::Answer(answer));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(), IsEmpty());
  EXPECT_THAT(env_.RawLog(), HasSubstr("ERROR ]  No JSON body in message: " +
                                       AsLogged(answer) + "\r\n"));
  EXPECT_THAT(Summary(), ElementsAre("ERROR|No JSON body in message: HTTP/1.1 "
                                     "200 OK\r",
                                     "SIMPLE|Communicate with the service."));
}

TEST_F(ExchangeTest, BytesBeforeTheBraceDoNotHoldTheExchange) {
  // The length counts the line end before the "{" as well.
  service_.Push(LoopbackService::Answer(
      "HTTP/1.1 200 OK\r\nContent-Length: 41\r\n\r\n\r\n" +
      std::string(kStartBody)));
  Exchange();
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
}

TEST_F(ExchangeTest, ConnectionEndingBeforeTheBodyEvaluatesNothing) {
  service_.Push(LoopbackService::AnswerThenClose(
      "HTTP/1.1 200 OK\r\nContent-Length: 39\r\n\r\n"));
  Exchange();
  EXPECT_FALSE(collector().connected);
  EXPECT_THAT(EvaluatedBodies(), IsEmpty());
  EXPECT_THAT(Summary(), ElementsAre("ERROR|Connection closed!",
                                     "SIMPLE|Communicate with the service."));
}

TEST_F(ExchangeTest, ConnectionEndingInTheBodyEvaluatesWhatArrived) {
  service_.Push(LoopbackService::AnswerThenClose(
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" +
      std::string(kStartBody)));
  Exchange();
  EXPECT_FALSE(collector().connected);
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
  EXPECT_THAT(Summary(),
              ElementsAre("ERROR|Connection closed!", "SIMPLE|Evaluating.",
                          "SIMPLE|Communicate with the service."));
}

TEST_F(ExchangeTest, HugeLengthIsNotWrappedIntoASmallOne) {
  // 2^64 + 5 wrapped would end the body after five bytes.
  LoopbackService::Step step = LoopbackService::AnswerInPieces(
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551621\r\n\r\n"
       "{\"timest",
       "amp\":\"2014.05.06 12:34:56.789\"}"});
  step.kind = LoopbackService::Step::Kind::kAnswerThenClose;
  service_.Push(step);
  Exchange();
  EXPECT_THAT(EvaluatedBodies(),
              ElementsAre(std::string("DEBUG|") + kStartBody));
}

TEST_F(ExchangeTest, ConnectionClosedBeforeAnsweringEvaluatesNothing) {
  service_.Push(LoopbackService::Close());
  Exchange();
  EXPECT_FALSE(collector().connected);
  EXPECT_THAT(Summary(), ElementsAre("ERROR|Connection closed!",
                                     "SIMPLE|Communicate with the service."));
  EXPECT_THAT(output_.warnings(), IsEmpty());
}

TEST_F(ExchangeTest, SendingToAServiceThatHasGoneDoesNotEndTheProcess) {
  service_.Push(LoopbackService::Answer(HttpAnswer(kStartBody)));
  Exchange();
  service_.Stop();
  // The first send meets the closed connection, later ones a reset one; a
  // send without MSG_NOSIGNAL would raise SIGPIPE by the third at the latest.
  for (int attempt = 0; attempt < 3; ++attempt) {
    collector().connected = true;
    Exchange();
    EXPECT_FALSE(collector().connected);
  }
  EXPECT_THAT(env_.LogMessages(),
              ::testing::Contains("Sent message length:-1"));
}

}  // namespace
}  // namespace ostrivel::service
