#include "service/connection.h"

#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/state.h"
#include "platform/operations.h"
#include "service/answer_framing.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/loopback_service.h"

namespace ostrivel::service {
namespace {

using ::testing::ElementsAre;
using Warning = testing::CapturedOutput::Warning;
using testing::LoopbackService;

class ConnectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::Current().closeSocket(collector().serviceSocket);
  }

  harness::Settings& settings() { return harness::State().settings; }
  harness::CollectorState& collector() { return harness::State().collector; }

  std::string AddressText(int port) {
    return "(Host:localhost port:" + std::to_string(port) + ")";
  }

  // Connects to the service and sends it one request, so that it answers.
  void ConnectAndAsk() {
    settings().port = service_.port();
    ASSERT_TRUE(ConnectToService());
    collector().connected = true;
    std::string request = ComposeRequest("localhost", service_.port(), "{}");
    ASSERT_EQ(platform::Current().send(collector().serviceSocket,
                                       request.data(), request.size()),
              static_cast<long>(request.size()));
  }

  // The log lines written from now on.
  void ForgetLog() { testing::WriteFile(env_.logPath(), ""); }

  testing::TestEnvironment env_{0};
  testing::CapturedOutput output_;
  LoopbackService service_;
};

TEST_F(ConnectionTest, ConnectsAndNamesTheAddress) {
  settings().port = service_.port();
  EXPECT_TRUE(ConnectToService());
  EXPECT_NE(collector().serviceSocket, platform::kNoSocket);
  EXPECT_FALSE(collector().connected);  // the caller sets it
  EXPECT_THAT(env_.LogLines(), ElementsAre("SIMPLE|Device connected! " +
                                           AddressText(service_.port())));
}

TEST_F(ConnectionTest, RefusedConnectionFailsAndKeepsNoSocket) {
  testing::RefusingPort refusing;
  settings().port = refusing.port();
  EXPECT_FALSE(ConnectToService());
  EXPECT_EQ(collector().serviceSocket, platform::kNoSocket);
  EXPECT_THAT(env_.LogLines(), ElementsAre("ERROR|Connection failed! " +
                                           AddressText(refusing.port())));
}

TEST_F(ConnectionTest, OnlyTheLowSixteenBitsOfThePortCount) {
  settings().port = service_.port() + 65536;
  EXPECT_TRUE(ConnectToService());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("SIMPLE|Device connected! " +
                          AddressText(service_.port() + 65536)));
}

TEST_F(ConnectionTest, UnresolvableHostFailsLikeARefusal) {
  platform::Operations ops = platform::Current();
  ops.resolve = [](const std::string&) {
    return std::optional<platform::Ipv4Address>();
  };
  platform::ScopedOperations scoped(ops);
  settings().host_name = "collector.invalid";
  settings().port = service_.port();
  EXPECT_FALSE(ConnectToService());
  EXPECT_EQ(collector().serviceSocket, platform::kNoSocket);
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("ERROR|Connection failed! (Host:collector.invalid "
                          "port:" +
                          std::to_string(service_.port()) + ")"));
}

TEST_F(ConnectionTest, NoSocketIsReported) {
  platform::Operations ops = platform::Current();
  ops.openSocket = [] { return platform::kNoSocket; };
  platform::ScopedOperations scoped(ops);
  EXPECT_FALSE(ConnectToService());
  EXPECT_THAT(env_.LogLines(), ElementsAre("ERROR|Error (get socket)"));
}

TEST_F(ConnectionTest, ANewConnectionClosesTheSocketItReplaces) {
  // The loopback service would open descriptors of its own meanwhile.
  testing::UnansweredPort unanswered;
  settings().port = unanswered.port();
  ASSERT_TRUE(ConnectToService());
  int before = testing::OpenDescriptorCount();
  for (int attempt = 0; attempt < 100; ++attempt) {
    ASSERT_TRUE(ConnectToService());
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST_F(ConnectionTest, ReceiveLogsAndTerminatesTheBytes) {
  service_.Push(LoopbackService::Answer("0123456789"));
  ConnectAndAsk();
  ForgetLog();
  char buffer[9];
  ReceiveData(buffer, 8);
  // A receive of exactly "size" bytes puts the zero at the last place.
  EXPECT_EQ(std::string(buffer), "01234567");
  EXPECT_TRUE(collector().connected);
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Receiving data...",
                          "DEBUG|Received: ", "DEBUG|01234567"));
}

TEST_F(ConnectionTest, ReceivedTextEndsAtAZeroByte) {
  service_.Push(LoopbackService::Answer(std::string("ab\0cd", 5)));
  ConnectAndAsk();
  ForgetLog();
  char buffer[1025];
  ReceiveData(buffer, 1024);
  EXPECT_EQ(std::string(buffer), "ab");
  EXPECT_THAT(env_.LogMessages(),
              ElementsAre("Receiving data...", "Received: ", "ab"));
}

TEST_F(ConnectionTest, ClosedConnectionClearsConnected) {
  service_.Push(LoopbackService::Close());
  ConnectAndAsk();
  ForgetLog();
  char buffer[1025] = "stale";
  ReceiveData(buffer, 1024);
  EXPECT_EQ(std::string(buffer), "");
  EXPECT_FALSE(collector().connected);
  EXPECT_TRUE(output_.warnings().empty());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Receiving data...", "ERROR|Connection closed!",
                          "DEBUG|Received: ", "DEBUG|"));
}

TEST_F(ConnectionTest, ResetConnectionWarnsTheUser) {
  service_.Push(LoopbackService::Reset());
  ConnectAndAsk();
  ForgetLog();
  char buffer[1025] = "stale";
  ReceiveData(buffer, 1024);
  EXPECT_EQ(std::string(buffer), "");
  EXPECT_FALSE(collector().connected);
  EXPECT_THAT(output_.warnings(),
              ElementsAre(Warning{"Data parser.", "Connection reset."}));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("DEBUG|Receiving data...", "ERROR|Connection reset!",
                          "DEBUG|Received: ", "DEBUG|"));
}

TEST_F(ConnectionTest, KeepAliveFailureIsLoggedAndTheReceiveGoesOn) {
  service_.Push(LoopbackService::Answer("x"));
  ConnectAndAsk();
  platform::Operations ops = platform::Current();
  ops.setKeepAlive = [](platform::Socket) { return false; };
  platform::ScopedOperations scoped(ops);
  ForgetLog();
  char buffer[1025];
  ReceiveData(buffer, 1024);
  EXPECT_EQ(std::string(buffer), "x");
  EXPECT_THAT(env_.LogMessages(),
              ElementsAre("Keep Alive failed!", "Receiving data...",
                          "Received: ", "x"));
}

}  // namespace
}  // namespace ostrivel::service
