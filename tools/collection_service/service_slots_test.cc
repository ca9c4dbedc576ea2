// ostrivel-service --slots: independent slots, each with its own port and
// its own counters, driven by harnesses and programs under test at once.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"

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
using tcp = boost::asio::ip::tcp;

std::string UniqueChannel() {
  return "slots" + std::to_string(::getpid()) +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// An ostrivel-service with "slots" slots on free ports, its ports file and
// log in "dir".
class SlotService {
 public:
  SlotService(const TempDir& dir, const std::string& channel, int slots)
      : portsFile_(dir.File("ports.txt")) {
    if (!process_.Start({OSTRIVEL_SERVICE_PATH, "--port", "0", "--slots",
                         std::to_string(slots), "--methods",
                         dir.File("methods"), "--channel", channel,
                         "--ports-file", portsFile_, "--log",
                         dir.File("service.log")})) {
      return;
    }
    const std::regex ready(
        slots == 1 ? R"(ostrivel-service listening on 127\.0\.0\.1:(\d+))"
                   : R"(slot (\d+) listening on 127\.0\.0\.1:(\d+))");
    for (int i = 0; i < slots; ++i) {
      std::optional<std::string> line = process_.ReadLine();
      if (!line.has_value()) return;
      lines_.push_back(*line);
      std::smatch match;
      if (!std::regex_match(*line, match, ready)) return;
      if (slots > 1 && match[1] != std::to_string(i)) return;
      ports_.push_back(
          static_cast<std::uint16_t>(std::stoi(match[match.size() - 1])));
    }
  }

  bool ok() const { return !ports_.empty(); }
  std::uint16_t port(int slot) const { return ports_.at(slot); }
  const std::vector<std::uint16_t>& ports() const { return ports_; }
  const std::vector<std::string>& lines() const { return lines_; }
  const std::string& portsFile() const { return portsFile_; }
  ChildProcess& process() { return process_; }

 private:
  std::string portsFile_;
  ChildProcess process_;
  std::vector<std::string> lines_;
  std::vector<std::uint16_t> ports_;
};

// The answer to "action" on "client", connected to "port".
HttpAnswer Exchange(HttpClient& client, std::uint16_t port,
                    const char* action) {
  EXPECT_TRUE(client.Send(ActionRequest(port, action)));
  std::optional<HttpAnswer> answer = client.Receive();
  EXPECT_TRUE(answer.has_value());
  return answer.value_or(HttpAnswer{});
}

class ServiceSlotsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_.File("methods"));
    WriteFile(dir_.File("methods/shop.csv"), "ProjectName;Shop\nm0\nm1\n");
  }

  // A program under test that counts "calls" calls of Shop's method
  // "index" into the channel "channel", prints "ready" and goes on with the
  // number of calls on each line of its input.
  std::unique_ptr<ChildProcess> StartProgram(const std::string& channel,
                                             unsigned index, unsigned calls) {
    auto program = std::make_unique<ChildProcess>();
    EXPECT_TRUE(program->Start({OSTRIVEL_PROBE_CHILD_PATH, "hold", "Shop",
                                std::to_string(index), std::to_string(calls)},
                               {"OSTRIVEL_CHANNEL=" + channel}));
    return program;
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel();
};

TEST_F(ServiceSlotsTest, ConcurrentTestsOnTwoSlotsEachSeeOnlyTheirOwnCalls) {
  SlotService service(dir_, channel_, 2);
  ASSERT_TRUE(service.ok()) << service.process().ReadAllErrors(1000);
  HttpClient first;
  HttpClient second;
  ASSERT_TRUE(first.Connect(service.port(0)));
  ASSERT_TRUE(second.Connect(service.port(1)));
  // Each slot has its own test: the second NEWTC is no other harness's.
  EXPECT_EQ(Exchange(first, service.port(0), "NEWTC").status, 200);
  EXPECT_EQ(Exchange(second, service.port(1), "NEWTC").status, 200);

  // Two programs count at once, each into its slot, calling disjoint
  // methods.
  auto programA = StartProgram(channel_ + ".0", 0, 5);
  auto programB = StartProgram(channel_ + ".1", 1, 7);
  ASSERT_EQ(programA->ReadLine(), "ready");
  ASSERT_EQ(programB->ReadLine(), "ready");
  ASSERT_TRUE(programA->Write("3\n"));
  ASSERT_TRUE(programB->Write("4\n"));
  ASSERT_EQ(programA->ReadLine(), "ready");
  ASSERT_EQ(programB->ReadLine(), "ready");

  EXPECT_NE(Exchange(first, service.port(0), "ASK")
                .body.find(R"("data":{"Shop":[8,0]})"),
            std::string::npos);
  EXPECT_NE(Exchange(second, service.port(1), "ASK")
                .body.find(R"("data":{"Shop":[0,11]})"),
            std::string::npos);
  programA->CloseInput();
  programB->CloseInput();
  EXPECT_EQ(programA->Wait(), 0);
  EXPECT_EQ(programB->Wait(), 0);

  std::string log = ReadFile(dir_.File("service.log"));
  EXPECT_NE(log.find("info slot 1: listening on 127.0.0.1:" +
                     std::to_string(service.port(1)) + ", channel \"" +
                     channel_ + ".1\"\n"),
            std::string::npos)
      << log;
}

TEST_F(ServiceSlotsTest, ATestOnOneSlotNeitherZeroesNorBlocksAnother) {
  SlotService service(dir_, channel_, 2);
  ASSERT_TRUE(service.ok()) << service.process().ReadAllErrors(1000);
  HttpClient owner;
  HttpClient intruder;
  HttpClient neighbour;
  ASSERT_TRUE(owner.Connect(service.port(1)));
  ASSERT_TRUE(intruder.Connect(service.port(1)));
  ASSERT_TRUE(neighbour.Connect(service.port(0)));
  EXPECT_EQ(Exchange(owner, service.port(1), "NEWTC").status, 200);
  auto program = StartProgram(channel_ + ".1", 0, 6);
  ASSERT_EQ(program->ReadLine(), "ready");

  // The one-harness rule holds within slot 1 ...
  EXPECT_EQ(Exchange(intruder, service.port(1), "NEWTC").status, 409);
  // ... while slot 0 starts a test of its own and leaves slot 1's counts.
  EXPECT_EQ(Exchange(neighbour, service.port(0), "NEWTC").status, 200);
  EXPECT_NE(Exchange(owner, service.port(1), "ASK")
                .body.find(R"("data":{"Shop":[6,0]})"),
            std::string::npos);
  program->CloseInput();
  EXPECT_EQ(program->Wait(), 0);

  std::string log = ReadFile(dir_.File("service.log"));
  EXPECT_NE(log.find("error slot 1: 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find(": refused: NEWTC: a test of another harness is running"),
            std::string::npos)
      << log;
}

TEST_F(ServiceSlotsTest, AProgramToldNoSlotCountsIntoNone) {
  SlotService service(dir_, channel_, 2);
  ASSERT_TRUE(service.ok()) << service.process().ReadAllErrors(1000);
  ChildProcess program;
  ASSERT_TRUE(
      program.Start({OSTRIVEL_PROBE_CHILD_PATH, "count", "Shop", "0", "1"},
                    {"OSTRIVEL_CHANNEL=" + channel_}));
  std::optional<int> status = program.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(ExitCode(*status), 0);  // the segment is missing
}

TEST_F(ServiceSlotsTest, EachSlotHasItsOwnProfileDirectoriesOnTheClangRoute) {
  WriteFile(dir_.File("methods/route.csv"),
            "ProjectName;Route\nllvm:00000000000000aa;main\n");
  SlotService service(dir_, channel_, 2);
  ASSERT_TRUE(service.ok()) << service.process().ReadAllErrors(1000);
  std::string log = ReadFile(dir_.File("service.log"));
  std::vector<std::string> directories;
  for (int slot = 0; slot < 2; ++slot) {
    std::smatch match;
    std::regex note("info slot " + std::to_string(slot) +
                    R"(: application "Route": counted from clang's raw )"
                    R"(profiles; run its programs with LLVM_PROFILE_FILE=)"
                    R"((\S+)/%p%c\.profraw\n)");
    ASSERT_TRUE(std::regex_search(log, match, note)) << log;
    directories.push_back(match[1]);
    EXPECT_TRUE(std::filesystem::is_directory(directories.back()));
  }
  EXPECT_NE(directories[0], directories[1]);
}

// The lines printed when ready, the ports file and the ports themselves.
struct Readiness {
  int slots;
  const char* line;  // the line of slot 0, "<port>" for its port
};

class ServiceReadinessTest : public ServiceSlotsTest,
                             public ::testing::WithParamInterface<Readiness> {};

TEST_P(ServiceReadinessTest, PrintsAndWritesEverySlotsPortThenRemovesTheFile) {
  const Readiness& readiness = GetParam();
  SlotService service(dir_, channel_, readiness.slots);
  ASSERT_TRUE(service.ok()) << service.process().ReadAllErrors(1000);
  ASSERT_EQ(service.ports().size(), static_cast<std::size_t>(readiness.slots));
  std::string first = readiness.line;
  first.replace(first.find("<port>"), 6, std::to_string(service.port(0)));
  EXPECT_EQ(service.lines().front(), first);

  std::set<std::uint16_t> distinct(service.ports().begin(),
                                   service.ports().end());
  EXPECT_EQ(distinct.size(), service.ports().size());
  std::string expected;
  for (int i = 0; i < readiness.slots; ++i) {
    expected += std::to_string(i) + " 127.0.0.1 " +
                std::to_string(service.port(i)) + "\n";
    HttpClient client;
    ASSERT_TRUE(client.Connect(service.port(i)));
    EXPECT_EQ(Exchange(client, service.port(i), "ASK").status, 200);
  }
  // Printed after the file is in place, so a script may read it now.
  EXPECT_EQ(ReadFile(service.portsFile()), expected);
  EXPECT_FALSE(std::filesystem::exists(service.portsFile() + ".tmp"));

  service.process().Signal(SIGTERM);
  std::optional<int> status = service.process().Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(ExitCode(*status), 0);
  EXPECT_FALSE(std::filesystem::exists(service.portsFile()));
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ServiceReadinessTest,
    ::testing::Values(
        Readiness{1, "ostrivel-service listening on 127.0.0.1:<port>"},
        Readiness{3, "slot 0 listening on 127.0.0.1:<port>"}));

// Starts the service with "options" and returns its exit code and
// standard error; it is expected to refuse to start.
std::pair<int, std::string> RunRefused(const TempDir& dir,
                                       std::vector<std::string> options) {
  std::vector<std::string> argv = {
      OSTRIVEL_SERVICE_PATH, "--methods",    dir.File("methods"),  "--channel",
      UniqueChannel(),       "--ports-file", dir.File("ports.txt")};
  argv.insert(argv.end(), options.begin(), options.end());
  ChildProcess process;
  if (!process.Start(argv)) return {-1, "cannot start"};
  std::string errors = process.ReadAllErrors();
  std::optional<int> status = process.Wait();
  return {status ? ExitCode(*status) : -1, errors};
}

struct Refusal {
  const char* slots;
};

class ServiceSlotCountTest : public ServiceSlotsTest,
                             public ::testing::WithParamInterface<Refusal> {};

TEST_P(ServiceSlotCountTest, RefusesACountOutsideOneTo1024) {
  auto [code, errors] =
      RunRefused(dir_, {"--port", "0", "--slots", GetParam().slots});
  EXPECT_NE(code, 0);
  EXPECT_NE(errors.find("--slots: must be a whole number from 1 to 1024, "
                        "not \"" +
                        std::string(GetParam().slots) + "\""),
            std::string::npos)
      << errors;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("ports.txt")));
}

INSTANTIATE_TEST_SUITE_P(Counts, ServiceSlotCountTest,
                         ::testing::Values(Refusal{"0"}, Refusal{"1025"},
                                           Refusal{"-2"}, Refusal{"two"},
                                           Refusal{"99999999999999999999"}));

TEST_F(ServiceSlotsTest, ATakenPortOfALaterSlotEndsTheStart) {
  // Slot 1 would take the port held here; slot 0 the one below it.
  boost::asio::io_context io;
  tcp::acceptor held(io);
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
    tcp::acceptor candidate(
        io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    std::uint16_t taken = candidate.local_endpoint().port();
    boost::system::error_code ec;
    tcp::acceptor below(io);
    below.open(tcp::v4(), ec);
    below.bind(
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), taken - 1),
        ec);
    if (!ec && taken > 1) {
      port = taken;
      held = std::move(candidate);
    }
  }
  ASSERT_NE(port, 0);
  auto [code, errors] =
      RunRefused(dir_, {"--port", std::to_string(port - 1), "--slots", "2"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(errors.find("ostrivel-service: slot 1: cannot listen on "
                        "127.0.0.1:" +
                        std::to_string(port) + ": "),
            std::string::npos)
      << errors;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("ports.txt")));
}

}  // namespace
}  // namespace ostrivel::collection
