// The ostrivel-service program itself: its command line, the line it prints
// when ready, its exit codes and its shutdown.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/counter_segment/counter_segment.h"

namespace ostrivel::collection {
namespace {

using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using tools::testing::ActionRequest;
using tools::testing::ChildProcess;
using tools::testing::ExitCode;
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
  EXPECT_NE(text.find("--channel"), std::string::npos) << text;
  EXPECT_EQ(ExitCode(help.Wait().value_or(-1)), 0);

  ChildProcess noMethods;
  ASSERT_TRUE(noMethods.Start({OSTRIVEL_SERVICE_PATH, "--port", "0"}));
  EXPECT_NE(noMethods.ReadAllErrors().find("--methods is required"),
            std::string::npos);
  EXPECT_NE(ExitCode(noMethods.Wait().value_or(0)), 0);

  ChildProcess badPort;
  ASSERT_TRUE(badPort.Start(
      {OSTRIVEL_SERVICE_PATH, "--port", "70000", "--methods", "/tmp"}));
  badPort.ReadAllErrors();
  EXPECT_NE(ExitCode(badPort.Wait().value_or(0)), 0);
}

}  // namespace
}  // namespace ostrivel::collection
