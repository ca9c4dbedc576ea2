#include "tools/collection_service/collection_service.h"

#include <unistd.h>

#include <regex>
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

const std::regex kTimestamp(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}\.\d{3})");

// A service on 127.0.0.1, port 0, serving on a thread of its own, with the
// applications Shop (4 methods) and Admin (2 methods).
class CollectionServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("shop.csv"), "ProjectName;Shop\nm0\nm1\nm2\nm3\n");
    WriteFile(dir_.File("admin.csv"), "ProjectName;Admin\na0\na1\n");
    ASSERT_TRUE(log_.OpenFile(dir_.File("service.log")));
    options_.port = 0;
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
               "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 16\r\n\r\n"
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
               "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
               "Content-Length: 16\r\n\r\n"
               R"({"action":"ASK"})");
  EXPECT_EQ(answer.status, 200);
  EXPECT_TRUE(client.WaitForClose());
}

}  // namespace
}  // namespace ostrivel::collection
