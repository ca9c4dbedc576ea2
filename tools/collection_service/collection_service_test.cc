#include "tools/collection_service/collection_service.h"

#include <unistd.h>

#include <cctype>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::collection {
namespace {

using ostrivel::testing::ReadFile;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using tools::testing::ActionRequest;
using tools::testing::HttpAnswer;
using tools::testing::HttpClient;
using tools::testing::LibraryRequest;

const std::string kTimestampText =
    R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";
const std::regex kTimestamp(kTimestampText);

// A service on 127.0.0.1, port 0, serving on a thread of its own, with the
// applications Shop (4 methods) and Admin (2 methods).
class CollectionServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("shop.csv"), "ProjectName;Shop\nm0\nm1\nm2\nm3\n");
    WriteFile(dir_.File("admin.csv"), "ProjectName;Admin\na0\na1\n");
    ASSERT_TRUE(log_.OpenFile(dir_.File("service.log")));
    options_.port = 0;
    options_.allowedHosts = {"coverage.test"};
    options_.methodsDirectory = dir_.path();
    options_.channel =
        "service" + std::to_string(::getpid()) +
        ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string error;
    ASSERT_TRUE(service_.Start(options_, &error)) << error;
    thread_ = std::thread([this] { service_.Run(); });
  }

  void TearDown() override {
    service_.Stop();
    if (thread_.joinable()) thread_.join();
  }

  void Count(const std::string& application, unsigned index,
             std::uint64_t calls) {
    tools::SegmentView view;
    ASSERT_EQ(tools::OpenSegment(
                  tools::SegmentName(options_.channel, application), &view),
              tools::OpenStatus::kOk);
    view.counters[index].fetch_add(calls);
    tools::UnmapSegment(&view);
  }

  // Sends "request" and returns the answer, checked for the framing every
  // answer must have.
  HttpAnswer Exchange(HttpClient& client, const std::string& request) {
    EXPECT_TRUE(client.Send(request));
    auto answer = client.Receive();
    EXPECT_TRUE(answer.has_value());
    if (!answer) return {};
    ExpectFramed(*answer);
    return *answer;
  }

  static void ExpectFramed(const HttpAnswer& answer) {
    ASSERT_TRUE(answer.contentLength.has_value());
    EXPECT_EQ(*answer.contentLength, answer.body.size());
    EXPECT_EQ(answer.Header("Content-Type"), "application/json");
    ASSERT_FALSE(answer.body.empty());
    EXPECT_EQ(answer.body.front(), '{');
  }

  // The body without its timestamp value, which is checked for its form.
  static std::string WithoutTimestamp(const std::string& body) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(body, match, kTimestamp)) << body;
    return match.prefix().str() + "TS" + match.suffix().str();
  }

  std::string LogText() { return ReadFile(dir_.File("service.log")); }

  TempDir dir_;
  ServiceLog log_;
  ServiceOptions options_;
  CollectionService service_{&log_};
  std::thread thread_;
};

TEST_F(CollectionServiceTest, AnswersNewtcAndAskOnOneKeptConnection) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  Count("Shop", 3, 9);
  HttpAnswer started =
      Exchange(client, ActionRequest(service_.port(), "NEWTC"));
  EXPECT_EQ(started.status, 200);
  EXPECT_EQ(WithoutTimestamp(started.body), R"({"timestamp":"TS"})");

  Count("Shop", 0, 3);
  Count("Shop", 2, 1);
  Count("Admin", 1, 7);
  HttpAnswer asked = Exchange(client, ActionRequest(service_.port(), "ASK"));
  EXPECT_EQ(asked.status, 200);
  EXPECT_EQ(WithoutTimestamp(asked.body),
            R"({"timestamp":"TS","data":{"Admin":[0,7],"Shop":[3,0,1,0]}})");
  // One clock: the end of the test is not before its start.
  EXPECT_LE(started.body.substr(14, 23), asked.body.substr(14, 23));

  // The next test starts from zero.
  Exchange(client, ActionRequest(service_.port(), "NEWTC"));
  Count("Admin", 0, 1);
  EXPECT_EQ(WithoutTimestamp(
                Exchange(client, ActionRequest(service_.port(), "ASK")).body),
            R"({"timestamp":"TS","data":{"Admin":[1,0],"Shop":[0,0,0,0]}})");
}

TEST_F(CollectionServiceTest, AnswersRequestsSentTogetherInOrder) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  Count("Admin", 0, 4);
  ASSERT_TRUE(client.Send(ActionRequest(service_.port(), "ASK") +
                          ActionRequest(service_.port(), "BOGUS") +
                          ActionRequest(service_.port(), "NEWTC") +
                          ActionRequest(service_.port(), "ASK")));
  std::vector<HttpAnswer> answers;
  for (int i = 0; i < 4; ++i) {
    auto answer = client.Receive();
    ASSERT_TRUE(answer.has_value()) << i;
    ExpectFramed(*answer);
    answers.push_back(*answer);
  }
  EXPECT_EQ(WithoutTimestamp(answers[0].body),
            R"({"timestamp":"TS","data":{"Admin":[4,0],"Shop":[0,0,0,0]}})");
  EXPECT_EQ(answers[1].status, 400);
  EXPECT_EQ(answers[1].body, R"({"error":"unknown action \"BOGUS\""})");
  EXPECT_EQ(WithoutTimestamp(answers[2].body), R"({"timestamp":"TS"})");
  EXPECT_EQ(WithoutTimestamp(answers[3].body),
            R"({"timestamp":"TS","data":{"Admin":[0,0],"Shop":[0,0,0,0]}})");
}

TEST_F(CollectionServiceTest, RefusedRequestsLeaveTheConnectionUsable) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  HttpAnswer unknown = Exchange(client, ActionRequest(service_.port(), "FOO"));
  EXPECT_EQ(unknown.status, 400);
  EXPECT_EQ(unknown.body, R"({"error":"unknown action \"FOO\""})");
  HttpAnswer malformed =
      Exchange(client, LibraryRequest(service_.port(), R"({"action":)"));
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(malformed.body,
            R"({"error":"malformed JSON body: incomplete JSON"})");
  HttpAnswer fine = Exchange(client, ActionRequest(service_.port(), "ASK"));
  EXPECT_EQ(fine.status, 200);

  std::string log = LogText();
  EXPECT_NE(log.find(R"( error 127.0.0.1:)"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(: refused: unknown action "FOO")"), std::string::npos)
      << log;
  EXPECT_NE(log.find(": refused: malformed JSON body: incomplete JSON\n"),
            std::string::npos)
      << log;
}

TEST_F(CollectionServiceTest, OriginFormAndOtherMethodsAreHandled) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  HttpAnswer origin =
      Exchange(client,
               "POST / HTTP/1.1\r\nHost: localhost\r\n"
               "Content-Type: application/json\r\nContent-Length: 16\r\n\r\n"
               R"({"action":"ASK"})");
  EXPECT_EQ(origin.status, 200);
  HttpAnswer get = Exchange(client, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(get.status, 400);
  EXPECT_EQ(get.body, R"({"error":"only POST requests are served"})");
  EXPECT_EQ(Exchange(client, ActionRequest(service_.port(), "NEWTC")).status,
            200);
}

TEST_F(CollectionServiceTest, BrokenFramingIsAnsweredAndTheConnectionClosed) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  HttpAnswer broken = Exchange(client, "GARBAGE\r\n\r\n");
  EXPECT_EQ(broken.status, 400);
  EXPECT_EQ(broken.body.rfind(R"({"error":"malformed HTTP request: )", 0), 0u)
      << broken.body;
  EXPECT_TRUE(client.WaitForClose());
  // The service itself goes on.
  HttpClient next;
  ASSERT_TRUE(next.Connect(service_.port()));
  EXPECT_EQ(Exchange(next, ActionRequest(service_.port(), "ASK")).status, 200);
}

TEST_F(CollectionServiceTest, ServesSeveralConnectionsAtOnce) {
  HttpClient first, second;
  ASSERT_TRUE(first.Connect(service_.port()));
  ASSERT_TRUE(second.Connect(service_.port()));
  // A request half sent on one connection holds nothing up on the other.
  std::string request = ActionRequest(service_.port(), "ASK");
  ASSERT_TRUE(first.Send(request.substr(0, 20)));
  EXPECT_EQ(Exchange(second, ActionRequest(service_.port(), "NEWTC")).status,
            200);
  ASSERT_TRUE(first.Send(request.substr(20)));
  auto answer = first.Receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->status, 200);
}

TEST_F(CollectionServiceTest, AConnectionCloseRequestIsHonoured) {
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  HttpAnswer answer =
      Exchange(client,
               "POST / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
               "Content-Type: application/json\r\nContent-Length: 16\r\n\r\n"
               R"({"action":"ASK"})");
  EXPECT_EQ(answer.status, 200);
  EXPECT_TRUE(client.WaitForClose());
}

// Bytes of a request that must reach the log as one line, escaped.
struct EscapeCase {
  const char* label;
  std::string request;  // "PORT" stands for the service's port
  int status;
  const char* expected;  // a piece of the log line
};

class LogEscapeTest : public CollectionServiceTest,
                      public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(LogEscapeTest, RequestBytesCannotWriteLinesOfTheirOwn) {
  std::string request = GetParam().request;
  request.replace(request.find("PORT"), 4, std::to_string(service_.port()));
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  EXPECT_EQ(Exchange(client, request).status, GetParam().status);
  EXPECT_TRUE(client.Send(ActionRequest(service_.port(), "FIN")));
  ASSERT_TRUE(client.Receive().has_value());
  std::string log = LogText();
  EXPECT_NE(log.find(GetParam().expected), std::string::npos) << log;
  // Every line is the service's own, and the two refusals are two lines.
  std::istringstream lines(log);
  int refusals = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_search(
        line, std::regex("^" + kTimestampText + " (info|error) ")))
        << line;
    refusals += line.find(": refused: ") != std::string::npos;
  }
  EXPECT_EQ(refusals, 2) << log;
}

std::string ActionCase(const std::string& jsonText) {
  return "POST http://127.0.0.1:PORT HTTP/1.1\r\nHost: localhost\r\n"
         "Content-Type: application/json\r\nContent-Length: " +
         std::to_string(jsonText.size() + 13) + "\r\n\r\n{\"action\":\"" +
         jsonText + "\"}";
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, LogEscapeTest,
    ::testing::Values(
        EscapeCase{
            "LineFeed",
            ActionCase(R"(ASK\n2026.01.01 00:00:00.000 info forged)"), 400,
            R"(unknown action "ASK\n2026.01.01 00:00:00.000 info forged")"},
        EscapeCase{"CarriageReturn", ActionCase(R"(A\rB)"), 400,
                   R"(unknown action "A\rB")"},
        EscapeCase{"TerminalEscape", ActionCase(R"(\u001b[2J)"), 400,
                   R"(unknown action "\x1B[2J")"},
        EscapeCase{"C1Control", ActionCase(R"(A\u009bB)"), 400,
                   R"(unknown action "A\xC2\x9BB")"},
        // A backslash stays; only what could break the line is escaped.
        EscapeCase{"Backslash", ActionCase(R"(A\\B)"), 400,
                   R"(unknown action "A\B")"},
        EscapeCase{"Utf8StaysReadable", ActionCase(R"(Kasse\u00e9)"), 400,
                   "unknown action \"Kasse\xC3\xA9\""},
        EscapeCase{
            "InvalidUtf8InAHeader",
            "POST http://127.0.0.1:PORT HTTP/1.1\r\nHost: localhost\r\n"
            "Content-Type: text/\xFF\xC3(\r\nContent-Length: 2\r\n\r\n{}",
            403, R"(Content-Type "text/\xFF\xC3(" is not served)"}),
    [](const ::testing::TestParamInfo<EscapeCase>& param) {
      return std::string(param.param.label);
    });

// A request as anyone may send it: the request line, "headers" and a NEWTC
// body.
struct HeaderCase {
  const char* label;
  const char* headers;  // each ends with CR LF; no Content-Length
  int status;
};

class RequestCheckTest : public CollectionServiceTest,
                         public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(RequestCheckTest, OnlyAHarnessOnThisMachineMayResetTheCounts) {
  const HeaderCase& c = GetParam();
  Count("Admin", 0, 1);
  HttpClient client;
  ASSERT_TRUE(client.Connect(service_.port()));
  HttpAnswer answer = Exchange(
      client, "POST http://127.0.0.1:" + std::to_string(service_.port()) +
                  " HTTP/1.1\r\n" + c.headers +
                  "Content-Length: 18\r\n\r\n{\"action\":\"NEWTC\"}");
  EXPECT_EQ(answer.status, c.status) << answer.body;
  // A refused request touches no counter; the connection stays usable.
  std::string counts =
      Exchange(client, ActionRequest(service_.port(), "ASK")).body;
  EXPECT_NE(
      counts.find(c.status == 200 ? R"("Admin":[0,0])" : R"("Admin":[1,0])"),
      std::string::npos)
      << counts;
  if (c.status == 403) {
    EXPECT_NE(LogText().find(": refused: "), std::string::npos);
    EXPECT_NE(answer.body.rfind(R"({"error":")", 0), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RequestCheckTest,
    ::testing::Values(
        HeaderCase{"the library's own",
                   "Host: 127.0.0.1\r\n"
                   "Content-Encoding: identity\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"library default host",
                   "Host: localhost\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"name in capitals, port",
                   "Host: LocalHost:8182\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"other loopback address",
                   "Host: 127.1.2.3:80\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"IPv6 loopback in brackets",
                   "Host: [::1]:8182\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"IPv6 loopback as the library writes it",
                   "Host: ::1\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"IPv4-mapped loopback",
                   "Host: [::ffff:127.0.0.1]\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"allowed name",
                   "Host: Coverage.Test:99\r\n"
                   "Content-Type: application/json\r\n",
                   200},
        HeaderCase{"media type with parameter",
                   "Host: localhost\r\n"
                   "Content-Type: Application/JSON ; charset=utf-8\r\n",
                   200},
        HeaderCase{"no Content-Type", "Host: localhost\r\n", 403},
        HeaderCase{"a form's Content-Type",
                   "Host: localhost\r\n"
                   "Content-Type: text/plain\r\n",
                   403},
        HeaderCase{"a longer media type",
                   "Host: localhost\r\n"
                   "Content-Type: application/json-patch+json\r\n",
                   403},
        HeaderCase{"from a web page",
                   "Host: localhost\r\n"
                   "Content-Type: application/json\r\n"
                   "Origin: http://127.0.0.1:3000\r\n",
                   403},
        HeaderCase{"a rebound name",
                   "Host: attacker.example\r\n"
                   "Content-Type: application/json\r\n",
                   403},
        HeaderCase{"loopback as a prefix",
                   "Host: 127.0.0.1.attacker.example\r\n"
                   "Content-Type: application/json\r\n",
                   403},
        HeaderCase{"a broken port",
                   "Host: localhost:80x\r\n"
                   "Content-Type: application/json\r\n",
                   403},
        HeaderCase{"another IPv6 address",
                   "Host: [::2]\r\n"
                   "Content-Type: application/json\r\n",
                   403},
        HeaderCase{"no Host", "Content-Type: application/json\r\n", 403},
        HeaderCase{"two Hosts",
                   "Host: localhost\r\nHost: attacker.example\r\n"
                   "Content-Type: application/json\r\n",
                   403}),
    [](const ::testing::TestParamInfo<HeaderCase>& param) {
      std::string name;
      for (const char* p = param.param.label; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

}  // namespace
}  // namespace ostrivel::collection
