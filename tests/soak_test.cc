// Runs the loaded library through 10,000 test cycles against a loopback
// service that restarts every 1,000 cycles, as a long harness run against a
// service that is redeployed now and then. The process must neither gain
// descriptors nor grow, and the result file must hold one row per test and
// application, each whole.

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "testing/loopback_service.h"
#include "testing/temp_dir.h"
#include "tests/loaded_library.h"

namespace {

using ostrivel::testing::HttpAnswer;
using ostrivel::testing::LoopbackService;
using ostrivel::testing::OpenDescriptorCount;
using ostrivel::testing::ReadFile;
using ostrivel::testing::ResidentBytes;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::Each;
using ::testing::SizeIs;

// AddressSanitizer keeps freed memory in quarantine, so the resident size
// says nothing there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Under valgrind the resident size is mostly valgrind's own, and grows with
// its bookkeeping; its leak check stands in for the bound there.
bool UnderValgrind() {
#if __has_include(<valgrind/valgrind.h>)
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

constexpr int kCycles = 10000;
constexpr int kRestartEvery = 1000;
// Measured after the first restart, so that every path has run once.
constexpr int kWarmUp = kRestartEvery + kRestartEvery / 2;
// Less than 32 bytes per cycle, the smallest block the allocator hands out:
// any allocation kept per cycle shows.
constexpr std::size_t kResidentGrowthLimit = std::size_t{256} << 10;

constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";
constexpr const char* kDataBody = R"({"timestamp":"2014.05.06 12:34:57.500",)"
                                  R"("data":{"Shop":[3,0,1,0],"Cart":[0,7]}})";
constexpr const char* kHeader =
    "Test name;Application name;Trace length;Coverage%;Runtime (ms);"
    "Covered Methods' IDs;Not Covered Methods' IDs\r\n";

using Library = ostrivel::testing::LoadedLibrary;

// A sound service that keeps no requests: "NEWTC" gets a time, "ASK" the
// counts of both applications.
std::unique_ptr<LoopbackService> StartService(std::uint16_t port) {
  auto service = std::make_unique<LoopbackService>(port);
  service->KeepRequests(false);
  service->SetResponder([](const std::string& request) {
    bool start = request.find(R"("NEWTC")") != std::string::npos;
    return LoopbackService::Answer(HttpAnswer(start ? kStartBody : kDataBody));
  });
  return service;
}

std::string TestName(int cycle) {
  char name[16];
  std::snprintf(name, sizeof(name), "T%05d", cycle);
  return name;
}

// The first cycle after a restart sends "NEWTC" over the connection that
// the old service closed, finds out, and sends it again over a new one.
bool CycleFindsTheRestart(int cycle) {
  return cycle > 0 && cycle % kRestartEvery == 0;
}

// The log as lines without their timestamps.
std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> lines;
  std::string raw = ReadFile(path);
  if (raw == "<missing>") return lines;
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(start, end - start);
    lines.push_back(line.size() > 31 ? line.substr(22) : line);
    start = end + 2;
  }
  return lines;
}

TEST(SoakTest, ManyCyclesWithRestartsStayFlat) {
  Library library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  TempDir dir;
  std::filesystem::create_directory(dir.File("methods"));
  WriteFile(dir.File("methods/shop.csv"), "ProjectName;Shop\ne0\ne1\ne2\ne3\n");
  WriteFile(dir.File("methods/cart.csv"), "ProjectName;Cart\nc0\nc1\n");

  std::unique_ptr<LoopbackService> service = StartService(0);
  const std::uint16_t port = service->port();
  // A receive time-out far beyond any answer here: a fault that leaves the
  // library waiting fails the test instead of hanging it.
  WriteFile(dir.File("config.txt"),
            "log_location: " + dir.File("log.txt") + "\nres_location: " +
                dir.File("result.csv") + "\nbase_location: " + dir.path() +
                "\nmethods_location: " + dir.File("methods/") +
                "\nport: " + std::to_string(port) +
                "\nlog_level: error\nreceive_timeout_ms: 10000\n");
  ASSERT_TRUE(library.Init(dir.File("config.txt").c_str()));
  ASSERT_TRUE(library.Open());

  int descriptorsAfterWarmUp = 0;
  std::size_t residentAfterWarmUp = 0;
  int restarts = 0;
  auto started = std::chrono::steady_clock::now();
  ::testing::internal::CaptureStderr();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    if (CycleFindsTheRestart(cycle)) {
      service.reset();
      service = StartService(port);
      ++restarts;
    }
    if (cycle == kWarmUp) {
      descriptorsAfterWarmUp = OpenDescriptorCount();
      residentAfterWarmUp = ResidentBytes();
    }
    std::string name = TestName(cycle);
    ASSERT_TRUE(library.SetTestName(name.c_str()));
    ASSERT_TRUE(library.StartNewTestCase()) << name;
    ASSERT_TRUE(library.GetCollectedInformation());
  }
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  // Before the capture of standard error gives its descriptor back.
  const int descriptorsAtEnd = OpenDescriptorCount();
  const std::size_t residentAtEnd = ResidentBytes();
  std::string warnings = ::testing::internal::GetCapturedStderr();
  library.Close();

  // Figures for the record; speed itself is not asserted.
  std::printf(
      "%d cycles, %d restarts: %lld ms; descriptors %d -> %d; "
      "resident %zu KiB -> %zu KiB\n",
      kCycles, restarts, static_cast<long long>(elapsed.count()),
      descriptorsAfterWarmUp, descriptorsAtEnd, residentAfterWarmUp >> 10,
      residentAtEnd >> 10);

  EXPECT_EQ(descriptorsAtEnd, descriptorsAfterWarmUp);
  if (!kSanitized && !UnderValgrind()) {
    EXPECT_LT(residentAtEnd, residentAfterWarmUp + kResidentGrowthLimit);
  }
  // Each restart is found by one exchange and is reported once; a reset
  // rather than a close also warns the user.
  EXPECT_THAT(
      LogMessages(dir.File("log.txt")),
      AllOf(SizeIs(restarts), Each(AnyOf("ERROR ]  Connection closed!",
                                         "ERROR ]  Connection reset!"))));
  if (!warnings.empty()) {
    EXPECT_EQ(warnings.find("Data parser.: Connection reset.\n"), 0u);
  }
  // Exact bytes: one whole row per test and application, in order, none
  // missing, none twice and none cut; the restarts cost no test.
  std::string expected = kHeader;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    std::string name = TestName(cycle);
    expected += name + ";Cart;7;50;1500;1;0\r\n";
    expected += name + ";Shop;4;50;1500;0 2;1 3\r\n";
  }
  EXPECT_TRUE(ReadFile(dir.File("result.csv")) == expected)
      << "the result file differs from the expected rows";
}

}  // namespace
