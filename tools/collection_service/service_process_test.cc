// The ostrivel-service program itself: its command line, the line it prints
// when ready, its exit codes and its shutdown.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
using tools::testing::ChildProcess;
using tools::testing::ExitCode;
using tools::testing::HttpAnswer;
using tools::testing::HttpClient;

std::string UniqueChannel() {
  return "process" + std::to_string(::getpid()) +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

bool SegmentExists(const std::string& channel, const std::string& application) {
  tools::SegmentView view;
  bool exists = tools::OpenSegment(tools::SegmentName(channel, application),
                                   &view) == tools::OpenStatus::kOk;
  tools::UnmapSegment(&view);
  return exists;
}

class ServiceProcessTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("shop.csv"), "ProjectName;Shop\nm0\nm1\n");
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel();
};

TEST_P(ServiceProcessTest, ServesUntilTheSignalAndRemovesItsSegments) {
  ChildProcess service;
  ASSERT_TRUE(service.Start({OSTRIVEL_SERVICE_PATH, "--port", "0", "--methods",
                             dir_.path(), "--channel", channel_, "--log",
                             dir_.File("service.log")}));
  auto line = service.ReadLine();
  ASSERT_TRUE(line.has_value()) << service.ReadAllErrors(1000);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      *line, match,
      std::regex(R"(ostrivel-service listening on 127\.0\.0\.1:(\d+))")))
      << *line;
  auto port = static_cast<std::uint16_t>(std::stoi(match[1]));
  EXPECT_TRUE(SegmentExists(channel_, "Shop"));

  HttpClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.Send(ActionRequest(port, "ASK")));
  auto answer = client.Receive();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->status, 200);

  service.Signal(GetParam());
  auto status = service.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(ExitCode(*status), 0);
  EXPECT_FALSE(SegmentExists(channel_, "Shop"));
  EXPECT_TRUE(client.WaitForClose());
}

INSTANTIATE_TEST_SUITE_P(Signals, ServiceProcessTest,
                         ::testing::Values(SIGTERM, SIGINT));

// A listener on a free loopback port, held for the test's duration.
class TakenPort {
 public:
  TakenPort() {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(socket_, 1);
    socklen_t size = sizeof address;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~TakenPort() { ::close(socket_); }
  std::uint16_t port() const { return port_; }

 private:
  int socket_;
  std::uint16_t port_ = 0;
};

// An ostrivel-service under a descriptor limit ("ulimit -n", none when 0)
// with short deadlines, its log in "dir".
class LimitedService {
 public:
  LimitedService(const TempDir& dir, int descriptors,
                 const std::vector<std::string>& options)
      : log_(dir.File("service.log")) {
    std::vector<std::string> argv = {
        "/bin/sh",
        "-c",
        descriptors > 0
            ? "ulimit -n " + std::to_string(descriptors) + " && exec \"$@\""
            : "exec \"$@\"",
        "sh",
        OSTRIVEL_SERVICE_PATH,
        "--port",
        "0",
        "--methods",
        dir.path(),
        "--channel",
        UniqueChannel(),
        "--log",
        log_};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!process_.Start(argv)) return;
    auto line = process_.ReadLine();
    std::smatch match;
    if (line &&
        std::regex_match(*line, match,
                         std::regex(R"(.* listening on [^:]+:(\d+))"))) {
      port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
    }
  }
  ~LimitedService() {
    process_.Signal(SIGTERM);
    process_.Wait();
  }

  std::uint16_t port() const { return port_; }
  std::string Log() const { return ReadFile(log_); }
  // How many lines of the log hold "text".
  int LinesWith(const std::string& text) const {
    std::istringstream lines(Log());
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
      count += line.find(text) != std::string::npos;
    }
    return count;
  }
  // Waits (bounded) until LinesWith("text") reaches "count".
  bool WaitForLines(const std::string& text, int count) const {
    for (int i = 0; i < 2000; ++i) {
      if (LinesWith(text) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  std::string log_;
  ChildProcess process_;
  std::uint16_t port_ = 0;
};

// One exchange of a harness: the status of the answer, 0 for none.
int Exchange(HttpClient& client, std::uint16_t port, const char* action) {
  if (!client.Send(ActionRequest(port, action))) return 0;
  std::optional<HttpAnswer> answer = client.Receive();
  return answer ? answer->status : 0;
}

struct AttackCase {
  const char* label;
  int descriptors;  // the service's descriptor limit, 0 for none
  std::vector<std::string> options;
};

class SlowHeaderAttackTest : public ::testing::TestWithParam<AttackCase> {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("shop.csv"), "ProjectName;Shop\nm0\nm1\n");
  }
  TempDir dir_;
};

// Hundreds of connections that send half a header and wait, as in
// "prlimit --nofile=256" with 300 of them, which once left the service
// answering no one.
TEST_P(SlowHeaderAttackTest, AHarnessIsAnsweredAndTheAttackersAreClosed) {
  std::vector<std::string> options = {"--request-timeout", "1"};
  options.insert(options.end(), GetParam().options.begin(),
                 GetParam().options.end());
  LimitedService service(dir_, GetParam().descriptors, options);
  std::uint16_t port = service.port();
  ASSERT_NE(port, 0) << service.Log();
  HttpClient kept;  // the library keeps its connection for the whole run
  ASSERT_TRUE(kept.Connect(port));
  EXPECT_EQ(Exchange(kept, port, "ASK"), 200);

  std::string half = ActionRequest(port, "ASK").substr(0, 40);
  std::vector<std::unique_ptr<HttpClient>> attackers;
  for (int wave = 0; wave < 3; ++wave) {
    for (int i = 0; i < 100; ++i) {
      attackers.push_back(std::make_unique<HttpClient>());
      ASSERT_TRUE(attackers.back()->Connect(port)) << attackers.size();
      ASSERT_TRUE(attackers.back()->Send(half));
    }
    EXPECT_EQ(Exchange(kept, port, "NEWTC"), 200) << "wave " << wave;
    EXPECT_EQ(Exchange(kept, port, "ASK"), 200) << "wave " << wave;
    // A harness that connects in the middle of the attack.
    HttpClient fresh;
    ASSERT_TRUE(fresh.Connect(port));
    EXPECT_EQ(Exchange(fresh, port, "NEWTC"), 200) << "wave " << wave;
    EXPECT_EQ(Exchange(fresh, port, "ASK"), 200) << "wave " << wave;
  }
  // No attacker holds on past its deadline.
  int closed = 0;
  for (auto& attacker : attackers) closed += attacker->WaitForClose();
  EXPECT_EQ(closed, 300) << service.Log();
  EXPECT_EQ(Exchange(kept, port, "ASK"), 200);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SlowHeaderAttackTest,
    ::testing::Values(
        // The defaults, as the attack was first tried.
        AttackCase{"DefaultCap", 256, {}},
        AttackCase{"LowCap", 0, {"--max-connections", "16"}},
        // Descriptors run out long before the cap.
        AttackCase{"NoDescriptorsLeft", 48, {"--max-connections", "1000"}}),
    [](const ::testing::TestParamInfo<AttackCase>& param) {
      return std::string(param.param.label);
    });

TEST(ServiceLimitTest, FailedAcceptsAreLoggedAtMostOnceASecond) {
  TempDir dir;
  WriteFile(dir.File("shop.csv"), "ProjectName;Shop\nm0\n");
  LimitedService service(dir, 32, {"--max-connections", "1000"});
  std::uint16_t port = service.port();
  ASSERT_NE(port, 0) << service.Log();
  // Harnesses that were served fill every descriptor; the rest wait in the
  // backlog, and the service cannot take them.
  auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<HttpClient>> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(std::make_unique<HttpClient>());
    ASSERT_TRUE(clients.back()->Connect(port));
    ASSERT_TRUE(clients.back()->Send(ActionRequest(port, "ASK")));
  }
  const std::string failure = "cannot accept a connection: ";
  ASSERT_TRUE(service.WaitForLines(failure, 3)) << service.Log();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_LE(service.LinesWith(failure), seconds + 2) << service.Log();
  EXPECT_EQ(service.LinesWith(failure + "Too many open files; trying again "
                                        "in 100 ms"),
            service.LinesWith(failure))
      << service.Log();
  EXPECT_GE(service.LinesWith(" more such line(s) left out in the last "
                              "second)"),
            1)
      << service.Log();

  // Once the served ones leave, the waiting ones get their answers.
  std::vector<std::unique_ptr<HttpClient>> waiting;
  for (auto& client : clients) {
    if (!client->Receive(1)) waiting.push_back(std::move(client));
  }
  clients.clear();
  ASSERT_FALSE(waiting.empty());
  for (auto& client : waiting) {
    std::optional<HttpAnswer> answer = client->Receive();
    ASSERT_TRUE(answer.has_value()) << service.Log();
    EXPECT_EQ(answer->status, 200);
    client.reset();  // room for the next one
  }
}

TEST(ServiceLimitTest, AnIdleConnectionIsClosedAfterTheIdleTime) {
  TempDir dir;
  WriteFile(dir.File("shop.csv"), "ProjectName;Shop\nm0\n");
  LimitedService service(dir, 0, {"--idle-timeout", "0.5"});
  ASSERT_NE(service.port(), 0) << service.Log();
  HttpClient client;
  ASSERT_TRUE(client.Connect(service.port()));
  EXPECT_EQ(Exchange(client, service.port(), "NEWTC"), 200);
  EXPECT_TRUE(client.WaitForClose());
  // The lines follow the close.
  EXPECT_TRUE(service.WaitForLines(" closed: idle for 0.5 s", 1))
      << service.Log();
  // Its test ended with it.
  EXPECT_TRUE(service.WaitForLines(" ends with its connection", 1));
}

TEST(ServiceStartTest, EveryAllowedHostIsAccepted) {
  TempDir dir;
  WriteFile(dir.File("shop.csv"), "ProjectName;Shop\nm0\n");
  LimitedService service(
      dir, 0, {"--allow-host", "ci-runner", "--allow-host", "build.local"});
  ASSERT_NE(service.port(), 0) << service.Log();
  for (const auto& [host, status] : std::vector<std::pair<std::string, int>>{
           {"ci-runner", 200}, {"build.local:8182", 200}, {"other", 403}}) {
    std::string request = ActionRequest(service.port(), "ASK");
    request.replace(request.find("Host: 127.0.0.1"), 15, "Host: " + host);
    HttpClient client;
    ASSERT_TRUE(client.Connect(service.port()));
    ASSERT_TRUE(client.Send(request));
    std::optional<HttpAnswer> answer = client.Receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->status, status) << host;
  }
}

TEST(ServiceStartTest, ATakenPortEndsTheServiceWithAMessage) {
  TempDir dir;
  WriteFile(dir.File("shop.csv"), "ProjectName;Shop\nm0\n");
  TakenPort taken;
  std::string channel = UniqueChannel();
  ChildProcess service;
  ASSERT_TRUE(
      service.Start({OSTRIVEL_SERVICE_PATH, "--port",
                     std::to_string(taken.port()), "--methods", dir.path(),
                     "--channel", channel, "--log", dir.File("service.log")}));
  EXPECT_EQ(service.ReadAllErrors(),
            "ostrivel-service: cannot listen on 127.0.0.1:" +
                std::to_string(taken.port()) + ": Address already in use\n");
  auto status = service.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(ExitCode(*status), 1);
  EXPECT_FALSE(SegmentExists(channel, "Shop"));
}

TEST(ServiceStartTest, AMissingMethodsDirectoryEndsTheServiceWithAMessage) {
  TempDir dir;
  ChildProcess service;
  ASSERT_TRUE(
      service.Start({OSTRIVEL_SERVICE_PATH, "--port", "0", "--methods",
                     dir.File("missing"), "--channel", UniqueChannel()}));
  EXPECT_EQ(service.ReadAllErrors(),
            "ostrivel-service: the methods directory \"" + dir.File("missing") +
                "\" cannot be read: No such file or directory\n");
  auto status = service.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(ExitCode(*status), 1);
}

TEST(ServiceStartTest, TheCommandLineIsChecked) {
  ChildProcess help;
  ASSERT_TRUE(help.Start({OSTRIVEL_SERVICE_PATH, "--help"}));
  std::string text;
  while (auto line = help.ReadLine()) text += *line + "\n";
  EXPECT_NE(text.find("--methods"), std::string::npos) << text;
  for (const char* option : {"--channel", "--request-timeout", "--idle-timeout",
                             "--max-connections", "--allow-host"}) {
    EXPECT_NE(text.find(option), std::string::npos) << text;
  }
  EXPECT_EQ(ExitCode(help.Wait().value_or(-1)), 0);

  ChildProcess noMethods;
  ASSERT_TRUE(noMethods.Start({OSTRIVEL_SERVICE_PATH, "--port", "0"}));
  EXPECT_NE(noMethods.ReadAllErrors().find("--methods is required"),
            std::string::npos);
  EXPECT_NE(ExitCode(noMethods.Wait().value_or(0)), 0);

  for (std::vector<std::string> bad :
       {std::vector<std::string>{"--port", "70000"},
        {"--max-connections", "0"},
        {"--request-timeout", "0"},
        {"--idle-timeout", "-1"}}) {
    bad.insert(bad.begin(), OSTRIVEL_SERVICE_PATH);
    bad.insert(bad.end(), {"--methods", "/tmp"});
    ChildProcess refused;
    ASSERT_TRUE(refused.Start(bad));
    refused.ReadAllErrors();
    EXPECT_NE(ExitCode(refused.Wait().value_or(0)), 0) << bad[1];
  }
}

}  // namespace
}  // namespace ostrivel::collection
