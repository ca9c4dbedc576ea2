#include "ostrivel/functionality.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/state.h"
#include "platform/operations.h"
#include "testing/fake_platform.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

namespace ostrivel::harness {
namespace {

using testing::CapturedOutput;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A socket that a test pretends to be connected on; never really closed.
constexpr platform::Socket kMadeUpSocket = 1000;

constexpr const char* kReconnectionError =
    "Error in re-connection! Maybe no server running!";

// A loopback port that refuses connections for this object's lifetime: the
// socket is bound, so no one else gets the port, but never listens.
class RefusingPort {
 public:
  RefusingPort() : acceptor_(io_) {
    namespace ip = boost::asio::ip;
    acceptor_.open(ip::tcp::v4());
    acceptor_.bind(ip::tcp::endpoint(ip::address_v4::loopback(), 0));
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
};

class FunctionalityTest : public ::testing::Test {
 protected:
  FunctionalityTest() {
    // Record every use of the socket library and of the connection, and
    // let everything else through.
    ops_ = platform::Current();
    ops_.startSockets = [this] {
      ++socketStarts_;
      return true;
    };
    ops_.stopSockets = [this] { ++socketStops_; };
    auto closeSocket = ops_.closeSocket;
    ops_.closeSocket = [this, closeSocket](platform::Socket socket) {
      closed_.push_back(socket);
      if (socket != kMadeUpSocket) closeSocket(socket);
    };
    auto send = ops_.send;
    ops_.send = [this, send](platform::Socket socket, const char* data,
                             std::size_t size) {
      sentOn_.push_back(socket);
      return send(socket, data, size);
    };
  }

  // Puts the recording table in force; tests change ops_ before.
  void Install() { scoped_.emplace(ops_); }

  // Points the connection at a port where nothing listens.
  void NoService() {
    Settings& settings = State().settings;
    settings.host_name = "127.0.0.1";
    settings.port = refusing_.port();
  }

  CapturedOutput output_;
  testing::TestEnvironment env_{1};
  RefusingPort refusing_;
  platform::Operations ops_;
  std::optional<platform::ScopedOperations> scoped_;
  int socketStarts_ = 0;
  int socketStops_ = 0;
  std::vector<platform::Socket> closed_;
  std::vector<platform::Socket> sentOn_;
};

TEST_F(FunctionalityTest, OpenLogsAndStartsTheSocketLibrary) {
  Install();
  EXPECT_TRUE(Functionality::Open());
  EXPECT_THAT(env_.LogLines(), ElementsAre("SIMPLE|Device open."));
  EXPECT_EQ(socketStarts_, 1);
}

TEST_F(FunctionalityTest, OpenIgnoresAFailedStart) {
  ops_.startSockets = [] { return false; };
  Install();
  EXPECT_TRUE(Functionality::Open());
  EXPECT_THAT(env_.LogLines(), ElementsAre("SIMPLE|Device open."));
}

TEST_F(FunctionalityTest, CloseWithoutConnectionOnlyStopsTheSocketLibrary) {
  Install();
  EXPECT_TRUE(Functionality::Close());
  EXPECT_THAT(env_.LogLines(), ElementsAre("SIMPLE|Device close."));
  EXPECT_THAT(closed_, IsEmpty());
  EXPECT_EQ(socketStops_, 1);
}

TEST_F(FunctionalityTest, CloseClosesTheStandingConnectionAndNothingUsesIt) {
  Install();
  State().collector.connected = true;
  State().collector.serviceSocket = kMadeUpSocket;
  EXPECT_TRUE(Functionality::Close());
  EXPECT_THAT(closed_, ElementsAre(kMadeUpSocket));
  EXPECT_EQ(socketStops_, 1);
  EXPECT_TRUE(Functionality::GetCollectedInformation());
  EXPECT_THAT(sentOn_, IsEmpty());
  EXPECT_THAT(
      env_.LogLines(),
      ElementsAre("SIMPLE|Device close.", "SIMPLE|Get collected information."));
}

TEST_F(FunctionalityTest, SetTestNameStoresAndLogsTheName) {
  EXPECT_TRUE(Functionality::SetTestName("Login; \"first\""));
  EXPECT_EQ(State().collector.testName, "Login; \"first\"");
  EXPECT_TRUE(Functionality::SetTestName(""));
  EXPECT_EQ(State().collector.testName, "");
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("SIMPLE|Update the name of the test case. (Test "
                          "name: Login; \"first\")",
                          "SIMPLE|Update the name of the test case. (Test "
                          "name: )"));
}

TEST_F(FunctionalityTest, SetTestNameWithoutNameKeepsTheOldName) {
  Functionality::SetTestName("Login");
  EXPECT_TRUE(Functionality::SetTestName(nullptr));
  EXPECT_EQ(State().collector.testName, "Login");
  EXPECT_EQ(env_.LogLines().back(),
            "ERROR|Unable to update the name of the test case: no name "
            "given!");
}

TEST_F(FunctionalityTest, GetCurrentPathTakesTheRealDirectorysName) {
  EXPECT_TRUE(Functionality::GetCurrentPath());
  EXPECT_EQ(State().collector.testName,
            std::filesystem::current_path().filename().string());
}

TEST_F(FunctionalityTest, StartNewTestCaseWithoutServiceWarnsAndFails) {
  NoService();
  Install();
  EXPECT_FALSE(Functionality::StartNewTestCase());
  EXPECT_FALSE(State().collector.connected);
  std::vector<std::string> lines = env_.LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "SIMPLE|Start new test case.");
  EXPECT_EQ(lines.back(), std::string("ERROR|") + kReconnectionError);
  EXPECT_THAT(output_.warnings(), ElementsAre(CapturedOutput::Warning{
                                      "Re-Connection", kReconnectionError}));
  EXPECT_THAT(sentOn_, IsEmpty());

  // The next call tries again.
  EXPECT_FALSE(Functionality::StartNewTestCase());
  EXPECT_EQ(output_.warnings().size(), 2u);
  EXPECT_EQ(env_.LogLines().back(), std::string("ERROR|") + kReconnectionError);
}

TEST_F(FunctionalityTest, GetCollectedInformationWithoutConnectionOnlyLogs) {
  int connects = 0;
  ops_.openSocket = [&connects] {
    ++connects;
    return platform::kNoSocket;
  };
  Install();
  State().collector.resultFileExists = true;
  EXPECT_TRUE(Functionality::GetCollectedInformation());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("SIMPLE|Get collected information."));
  EXPECT_TRUE(State().collector.resultFileExists);
  EXPECT_EQ(connects, 0);
  EXPECT_THAT(sentOn_, IsEmpty());
}

TEST_F(FunctionalityTest, InitAppliesTheFileAndLoadsTheMethodLists) {
  testing::WriteFile(env_.methodsPath() + "shop.csv",
                     "ProjectName;Shop\nm0\nm1\n");
  std::string config = env_.dir().File("config.txt");
  testing::WriteFile(config, "host_name: collector\nport: 9000\n");
  EXPECT_TRUE(Functionality::Init(config.c_str()));
  EXPECT_EQ(State().settings.host_name, "collector");
  EXPECT_EQ(State().settings.port, 9000);
  EXPECT_THAT(State().methodLists.at("Shop"), ElementsAre("m0", "m1"));
  EXPECT_EQ(env_.RawLog(), "<missing>");
  EXPECT_THAT(output_.warnings(), IsEmpty());
}

TEST_F(FunctionalityTest, InitWithoutFileWarnsAndReturnsTrue) {
  EXPECT_TRUE(Functionality::Init(env_.dir().File("none.txt").c_str()));
  EXPECT_TRUE(Functionality::Init(nullptr));
  EXPECT_EQ(output_.warnings().size(), 2u);
  EXPECT_EQ(env_.RawLog(), "<missing>");
}

// --- GetCurrentPath with a given working directory -------------------------

struct PathCase {
  std::optional<std::string> directory;
  std::string testName;
};

class GetCurrentPathTest : public ::testing::TestWithParam<PathCase> {
 protected:
  testing::TestEnvironment env_{1};
};

TEST_P(GetCurrentPathTest, NamesTheTestAfterTheLastPathComponent) {
  platform::Operations ops = platform::Current();
  ops.currentDirectory = [directory = GetParam().directory] {
    return directory;
  };
  platform::ScopedOperations scoped(ops);
  EXPECT_TRUE(Functionality::GetCurrentPath());
  EXPECT_EQ(State().collector.testName, GetParam().testName);
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("SIMPLE|Update the name of the test case. (Test "
                          "name: " +
                          GetParam().testName + ")"));
}

INSTANTIATE_TEST_SUITE_P(
    Directories, GetCurrentPathTest,
    ::testing::Values(PathCase{"C:\\Tests\\Login", "Login"},
                      PathCase{"/a/b", "b"}, PathCase{"C:\\", ""},
                      PathCase{"/", ""}, PathCase{"/a/b/", ""},
                      PathCase{"C:/Tests\\Login", "Login"},
                      PathCase{"C:\\Tests/Login", "Login"},
                      PathCase{"Login", "Login"}, PathCase{"", ""},
                      PathCase{std::nullopt, "undefined"}));

// --- The last-resort catch -------------------------------------------------

class LastResortTest : public FunctionalityTest {};

TEST_F(LastResortTest, ThrowingStepIsLoggedOnceAndTheResultStands) {
  ops_.currentDirectory = []() -> std::optional<std::string> {
    throw std::runtime_error("no directory");
  };
  Install();
  EXPECT_TRUE(Functionality::GetCurrentPath());
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("ERROR|Unexpected failure in GetCurrentPath. (no "
                          "directory)"));
}

TEST_F(LastResortTest, ExceptionOfAnyTypeIsCaught) {
  ops_.startSockets = []() -> bool { throw 7; };
  ops_.stopSockets = [] { throw std::logic_error("stop"); };
  Install();
  EXPECT_TRUE(Functionality::Open());
  EXPECT_TRUE(Functionality::Close());
  EXPECT_THAT(
      env_.LogLines(),
      ElementsAre("SIMPLE|Device open.", "ERROR|Unexpected failure in Open.",
                  "SIMPLE|Device close.",
                  "ERROR|Unexpected failure in Close. (stop)"));
}

TEST_F(LastResortTest, InitReturnsTrueWhenTheScanThrows) {
  ops_.listDirectory = [](const std::string&) -> platform::DirectoryListing {
    throw std::runtime_error("listing");
  };
  Install();
  EXPECT_TRUE(Functionality::Init(env_.dir().File("none.txt").c_str()));
  EXPECT_THAT(env_.LogLines(),
              ElementsAre("ERROR|Unexpected failure in Init. (listing)"));
}

TEST_F(LastResortTest, StartNewTestCaseReturnsFalseWhenTheWarningThrows) {
  NoService();
  ops_.showWarning = [](const std::string&, const std::string&) {
    throw std::runtime_error("no display");
  };
  Install();
  EXPECT_FALSE(Functionality::StartNewTestCase());
  EXPECT_EQ(env_.LogLines().back(),
            "ERROR|Unexpected failure in StartNewTestCase. (no display)");
}

}  // namespace
}  // namespace ostrivel::harness
