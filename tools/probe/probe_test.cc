#include "ostrivel/probe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "testing/test_process.h"
#include "tools/collection_service/collection_service.h"
#include "tools/counter_segment/counter_segment.h"

// Lookups of segments of the application "Absent", counted on their way to
// the C library: this program's shm_open comes before libc's, for the probe
// as well.
std::atomic<int> gAbsentLookups{0};

extern "C" int shm_open(const char* name, int flags, mode_t mode) {
  using Function = int (*)(const char*, int, mode_t);
  static auto real = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, "shm_open"));
  if (std::strstr(name, ".Absent.") != nullptr) gAbsentLookups.fetch_add(1);
  return real(name, flags, mode);
}

namespace ostrivel::probe {
namespace {

using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;
using tools::testing::ActionRequest;
using tools::testing::ChildProcess;
using tools::testing::ExitCode;
using tools::testing::HttpClient;

// The channel of this test process; its children inherit it. Set before
// main(), so before the probe reads it.
const std::string kChannel = "probe" + std::to_string(::getpid());
const bool kChannelSet = ::setenv("OSTRIVEL_CHANNEL", kChannel.c_str(), 1) == 0;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kChannelSet); }

  // Plays the service's part: creates the application's segment.
  tools::OwnedSegment& CreateSegment(const std::string& application,
                                     std::uint64_t methods) {
    std::string error, note;
    tools::OwnedSegment& segment = segments_[application];
    EXPECT_TRUE(segment.Create(tools::SegmentName(kChannel, application),
                               methods, &error, &note))
        << error;
    return segment;
  }

  std::uint64_t Counted(const std::string& application, unsigned index) {
    return segments_[application].counter(index).load();
  }

  // Runs the child program with "args" and returns its exit code.
  static int RunChild(const std::vector<std::string>& args) {
    ChildProcess child;
    std::vector<std::string> argv{OSTRIVEL_PROBE_CHILD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child.Start(argv)) return -1;
    return ExitCode(child.Wait().value_or(-1));
  }

  // Counts one call once the probe has found the segment: it looks for a
  // missing one about once a second. False when 10 s pass first.
  static bool CountsWithinSeconds(const char* application, unsigned index) {
    for (int waitedMs = 0; waitedMs < 10000; waitedMs += 20) {
      if (ostrivel_probe_count(application, index) == OSTRIVEL_PROBE_OK) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::map<std::string, tools::OwnedSegment> segments_;
};

TEST_F(ProbeTest, CountsIntoTheApplicationsSegment) {
  CreateSegment("InProcess", 3);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ostrivel_probe_count("InProcess", 1), OSTRIVEL_PROBE_OK);
  }
  EXPECT_EQ(ostrivel_probe_add("InProcess", 2, 1000000), OSTRIVEL_PROBE_OK);
  EXPECT_EQ(Counted("InProcess", 0), 0u);
  EXPECT_EQ(Counted("InProcess", 1), 5u);
  EXPECT_EQ(Counted("InProcess", 2), 1000000u);
  EXPECT_EQ(ostrivel_probe_attach("InProcess"), OSTRIVEL_PROBE_OK);
  EXPECT_EQ(ostrivel_probe_method_count("InProcess"), 3);
}

TEST_F(ProbeTest, RefusesWhatItCannotCount) {
  CreateSegment("Small", 2);
  EXPECT_EQ(ostrivel_probe_count("Small", 2), OSTRIVEL_PROBE_OUT_OF_RANGE);
  EXPECT_EQ(ostrivel_probe_count("Small", 0xffffffffu),
            OSTRIVEL_PROBE_OUT_OF_RANGE);
  EXPECT_EQ(ostrivel_probe_count("Unknown", 0), OSTRIVEL_PROBE_NO_SEGMENT);
  EXPECT_EQ(ostrivel_probe_count(nullptr, 0), OSTRIVEL_PROBE_BAD_ARGUMENT);
  EXPECT_EQ(ostrivel_probe_add(nullptr, 0, 1), OSTRIVEL_PROBE_BAD_ARGUMENT);
  EXPECT_EQ(ostrivel_probe_attach(nullptr), OSTRIVEL_PROBE_BAD_ARGUMENT);
  EXPECT_EQ(ostrivel_probe_attach("Unknown"), OSTRIVEL_PROBE_NO_SEGMENT);
  EXPECT_EQ(ostrivel_probe_method_count("Unknown"), -1);
  EXPECT_EQ(ostrivel_probe_method_count(nullptr), -1);
  EXPECT_EQ(Counted("Small", 0) + Counted("Small", 1), 0u);
}

TEST_F(ProbeTest, FindsASegmentCreatedAfterItsFirstCall) {
  EXPECT_EQ(ostrivel_probe_count("Late", 0), OSTRIVEL_PROBE_NO_SEGMENT);
  CreateSegment("Late", 1);
  EXPECT_TRUE(CountsWithinSeconds("Late", 0));
  EXPECT_EQ(Counted("Late", 0), 1u);
}

TEST_F(ProbeTest, FollowsARestartedService) {
  CreateSegment("Restart", 1);
  EXPECT_EQ(ostrivel_probe_count("Restart", 0), OSTRIVEL_PROBE_OK);
  segments_["Restart"].Remove();
  EXPECT_EQ(ostrivel_probe_count("Restart", 0), OSTRIVEL_PROBE_NO_SEGMENT);
  CreateSegment("Restart", 2);
  EXPECT_TRUE(CountsWithinSeconds("Restart", 1));
  EXPECT_EQ(Counted("Restart", 1), 1u);
  EXPECT_EQ(ostrivel_probe_method_count("Restart"), 2);
}

TEST_F(ProbeTest, AMissingSegmentIsLookedForAtMostOnceASecond) {
  int before = gAbsentLookups.load();
  auto start = std::chrono::steady_clock::now();
  int counted = 0;
  for (int i = 0; i < 20000; ++i) {
    if (ostrivel_probe_count("Absent", 0) != OSTRIVEL_PROBE_NO_SEGMENT) {
      ++counted;
    }
  }
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
  EXPECT_EQ(counted, 0);
  int lookups = gAbsentLookups.load() - before;
  EXPECT_GE(lookups, 1);
  EXPECT_LE(lookups, 2 + seconds);
  // Asked to attach, the probe looks at once.
  EXPECT_EQ(ostrivel_probe_attach("Absent"), OSTRIVEL_PROBE_NO_SEGMENT);
  EXPECT_EQ(gAbsentLookups.load() - before, lookups + 1);
}

TEST_F(ProbeTest, ThreadsCountWithoutLosingCalls) {
  CreateSegment("Threads", 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10000; ++i) ostrivel_probe_count("Threads", 0);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Counted("Threads", 0), 80000u);
}

TEST_F(ProbeTest, ManyShortProcessesAreCountedExactly) {
  CreateSegment("Short", 3);
  constexpr int kProcesses = 200;
  constexpr int kAtOnce = 20;
  int failures = 0;
  for (int started = 0; started < kProcesses; started += kAtOnce) {
    std::vector<std::unique_ptr<ChildProcess>> batch;
    for (int i = started; i < started + kAtOnce; ++i) {
      auto child = std::make_unique<ChildProcess>();
      ASSERT_TRUE(child->Start({OSTRIVEL_PROBE_CHILD_PATH, "count", "Short",
                                std::to_string(i % 3), "500"}));
      batch.push_back(std::move(child));
    }
    for (auto& child : batch) {
      if (ExitCode(child->Wait().value_or(-1)) != 0) ++failures;
    }
  }
  EXPECT_EQ(failures, 0);
  // 200 processes: 67 on method 0, 67 on method 1, 66 on method 2.
  EXPECT_EQ(Counted("Short", 0), 67u * 500);
  EXPECT_EQ(Counted("Short", 1), 67u * 500);
  EXPECT_EQ(Counted("Short", 2), 66u * 500);
}

TEST_F(ProbeTest, AKilledProcessKeepsEveryCallItMade) {
  CreateSegment("Killed", 2);
  ChildProcess child;
  ASSERT_TRUE(
      child.Start({OSTRIVEL_PROBE_CHILD_PATH, "hold", "Killed", "1", "12345"}));
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGKILL);
  ASSERT_TRUE(child.Wait().has_value());
  EXPECT_EQ(Counted("Killed", 1), 12345u);
}

TEST_F(ProbeTest, AProcessKilledWhileCountingLosesAtMostTheCallInFlight) {
  CreateSegment("Busy", 2);
  ChildProcess child;
  ASSERT_TRUE(child.Start({OSTRIVEL_PROBE_CHILD_PATH, "forever", "Busy"}));
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGKILL);
  ASSERT_TRUE(child.Wait().has_value());
  // Method 0 is counted before method 1 in every round.
  std::uint64_t first = Counted("Busy", 0);
  std::uint64_t second = Counted("Busy", 1);
  EXPECT_GE(second, 1000u);
  EXPECT_TRUE(first == second || first == second + 1) << first << " " << second;
}

TEST_F(ProbeTest, AProcessWithoutSegmentRunsOnAndIsTold) {
  EXPECT_EQ(RunChild({"count", "Nowhere", "0", "10"}),
            OSTRIVEL_PROBE_NO_SEGMENT);
  ChildProcess child;
  ASSERT_TRUE(child.Start({OSTRIVEL_PROBE_CHILD_PATH, "status", "Nowhere"}));
  EXPECT_EQ(child.ReadLine(), "attach 1 methods -1 automatic 0");
  EXPECT_EQ(child.ReadAllErrors(), "");
}

// A segment the probe must not count into: another user could read it, or
// truncate it under the counting program (which would die of SIGBUS).
struct DistrustCase {
  const char* label;
  mode_t mode;
  uid_t owner;  // 0: this process's user
  const char* reason;
};

class DistrustedSegmentTest
    : public ProbeTest,
      public ::testing::WithParamInterface<DistrustCase> {};

TEST_P(DistrustedSegmentTest, IsNotCountedIntoAndToldOnce) {
  const DistrustCase& param = GetParam();
  if (param.owner != 0 && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a segment to another user";
  }
  std::string application = std::string("Distrusted") + param.label;
  CreateSegment(application, 2);
  std::string name = tools::SegmentName(kChannel, application);
  int fd = ::shm_open(name.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fchmod(fd, param.mode), 0);
  if (param.owner != 0) {
    ASSERT_EQ(::fchown(fd, param.owner, param.owner), 0);
  }
  ::close(fd);
  std::string reason = param.reason;
  std::size_t self = reason.find("SELF");
  if (self != std::string::npos) {
    reason.replace(self, 4, std::to_string(::geteuid()));
  }

  ChildProcess child;
  ASSERT_TRUE(child.Start(
      {OSTRIVEL_PROBE_CHILD_PATH, "count", application, "0", "1000"}));
  EXPECT_EQ(child.ReadAllErrors(),
            "ostrivel-probe: not counting for \"" + application +
                "\": the counter segment \"" + name + "\" " + reason + "\n");
  EXPECT_EQ(ExitCode(child.Wait().value_or(-1)), OSTRIVEL_PROBE_NO_SEGMENT);
  EXPECT_EQ(Counted(application, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, DistrustedSegmentTest,
    ::testing::Values(
        DistrustCase{"ReadableByAll", 0644, 0, "has mode 0644, not 0600"},
        DistrustCase{"WritableByAll", 0666, 0, "has mode 0666, not 0600"},
        DistrustCase{"ReadableByTheGroup", 0640, 0, "has mode 0640, not 0600"},
        DistrustCase{"OfAnotherUser", 0600, 65534,
                     "belongs to another user (uid 65534), not to this "
                     "process's user (uid SELF)"}),
    [](const auto& test) { return std::string(test.param.label); });

// Automatic counting through the hooks of a program built with
// -finstrument-functions, against method lists that put its functions among
// many other listed addresses, so that looking a function up meets the
// entries of others, before or after its own.
struct HookListCase {
  const char* label;
  std::size_t fillersBefore;  // listed before the functions
  std::size_t fillersAfter;   // listed after them
};

class HookListTest : public ProbeTest,
                     public ::testing::WithParamInterface<HookListCase> {
 protected:
  // The child's functions by name, as offsets from its load bias.
  static std::map<std::string, std::uint64_t> Offsets() {
    std::map<std::string, std::uint64_t> offsets;
    ChildProcess child;
    if (!child.Start({OSTRIVEL_PROBE_HOOKS_CHILD_PATH, "offsets"})) {
      return offsets;
    }
    while (auto line = child.ReadLine()) {
      std::size_t space = line->find(' ');
      offsets[line->substr(0, space)] =
          std::stoull(line->substr(space + 1), nullptr, 16);
    }
    child.Wait();
    return offsets;
  }
};

TEST_P(HookListTest, CountsEveryListedFunctionExactly) {
  const HookListCase& param = GetParam();
  std::map<std::string, std::uint64_t> offsets = Offsets();
  ASSERT_EQ(offsets.size(), 8u);
  const char* listed[] = {"Alpha", "Beta", "Gamma", "Delta"};
  std::uint64_t lowest = offsets["Alpha"];
  std::uint64_t highest = offsets["Alpha"];
  for (const char* name : listed) {
    lowest = std::min(lowest, offsets[name]);
    highest = std::max(highest, offsets[name]);
  }
  // Functions start at multiples of 16; these addresses lie between the
  // lowest and the highest listed function, and no function starts there.
  // They are spread out: runs of consecutive addresses would each take a
  // slot of their own in a multiplicative hash table and never meet.
  std::uint64_t next = lowest;
  auto fillers = [&next, highest](std::size_t count) {
    std::string lines;
    for (std::size_t i = 0; i < count; ++i) {
      next += 7;
      if (next % 16 == 0) ++next;
      if (next >= highest) break;
      char line[64];
      std::snprintf(line, sizeof line, "0x%llx;Filler;\n",
                    static_cast<unsigned long long>(next));
      lines += line;
    }
    return lines;
  };
  auto id = [&offsets](const char* name) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(offsets[name]));
    return std::string(text);
  };
  std::string application = std::string("Hooks") + param.label;
  std::string list = "ProjectName;" + application + "\n";
  list += fillers(param.fillersBefore);
  std::size_t first =
      static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n') - 1);
  for (const char* name : listed) list += id(name) + ";" + name + ";\n";
  // A second line for Beta: the first line of an address counts.
  list += id("Beta") + ";Beta again;\n";
  list += fillers(param.fillersAfter);
  std::size_t lines =
      static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n') - 1);
  ASSERT_EQ(lines, param.fillersBefore + 5 + param.fillersAfter);
  TempDir dir;
  WriteFile(dir.File("hooks.csv"), list);
  tools::OwnedSegment& segment = CreateSegment(application, lines);

  ChildProcess child;
  ASSERT_TRUE(
      child.Start({OSTRIVEL_PROBE_HOOKS_CHILD_PATH, "call", "1000", "4"},
                  {"OSTRIVEL_METHOD_LIST=" + dir.File("hooks.csv")}));
  EXPECT_EQ(child.ReadAllErrors(), "");
  ASSERT_EQ(ExitCode(child.Wait().value_or(-1)), 0) << "automatic counting off";

  // 4 threads x 1000 rounds; Unlisted, the thread function and main, in
  // the same range of addresses, count nowhere.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < lines; ++i) {
    total += segment.counter(i).load();
  }
  EXPECT_EQ(Counted(application, first + 0), 4000u);   // Alpha
  EXPECT_EQ(Counted(application, first + 1), 8000u);   // Beta
  EXPECT_EQ(Counted(application, first + 2), 12000u);  // Gamma
  EXPECT_EQ(Counted(application, first + 3), 16000u);  // Delta
  EXPECT_EQ(Counted(application, first + 4), 0u);      // Beta again
  EXPECT_EQ(total, 40000u);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HookListTest,
    ::testing::Values(HookListCase{"OnlyTheFunctions", 0, 0},
                      HookListCase{"AfterManyOthers", 5000, 0},
                      HookListCase{"BeforeManyOthers", 0, 5000},
                      HookListCase{"AmidManyOthers", 2500, 2500}),
    [](const auto& test) { return std::string(test.param.label); });

// The whole road: a service, a long-running program under test, and the
// library's requests over TCP.
TEST_F(ProbeTest, ALongRunningProcessIsCountedUpToEachAsk) {
  TempDir dir;
  WriteFile(dir.File("long.csv"), "ProjectName;Long\nm0\nm1\n");
  WriteFile(dir.File("other.csv"), "ProjectName;Other\nx0\n");
  collection::ServiceLog log;
  log.Silence();
  collection::CollectionService service(&log);
  collection::ServiceOptions options;
  options.port = 0;
  options.methodsDirectory = dir.path();
  options.channel = kChannel;
  std::string error;
  ASSERT_TRUE(service.Start(options, &error)) << error;
  std::thread serving([&service] { service.Run(); });
  HttpClient client;
  ASSERT_TRUE(client.Connect(service.port()));
  auto data = [&client, &service](const char* action) {
    EXPECT_TRUE(client.Send(ActionRequest(service.port(), action)));
    auto answer = client.Receive();
    if (!answer) return std::string("no answer");
    std::size_t at = answer->body.find("\"data\"");
    return at == std::string::npos ? std::string("no data")
                                   : answer->body.substr(at);
  };

  ChildProcess child;
  ASSERT_TRUE(
      child.Start({OSTRIVEL_PROBE_CHILD_PATH, "hold", "Long", "1", "7"}));
  ASSERT_EQ(child.ReadLine(), "ready");
  EXPECT_EQ(data("ASK"), R"("data":{"Long":[0,7],"Other":[0]}})");
  ASSERT_TRUE(child.Write("5\n"));
  ASSERT_EQ(child.ReadLine(), "ready");
  EXPECT_EQ(data("ASK"), R"("data":{"Long":[0,12],"Other":[0]}})");
  EXPECT_EQ(data("NEWTC"), "no data");
  EXPECT_EQ(data("ASK"), R"("data":{"Long":[0,0],"Other":[0]}})");
  ASSERT_TRUE(child.Write("2\n"));
  ASSERT_EQ(child.ReadLine(), "ready");
  child.CloseInput();
  EXPECT_EQ(ExitCode(child.Wait().value_or(-1)), 0);
  EXPECT_EQ(RunChild({"count", "Other", "0", "3"}), 0);
  EXPECT_EQ(data("ASK"), R"("data":{"Long":[0,2],"Other":[3]}})");

  service.Stop();
  serving.join();
}

}  // namespace
}  // namespace ostrivel::probe
