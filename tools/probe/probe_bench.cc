// The cost of counting one call, through the C interface and through the
// -finstrument-functions hooks, beside its floors: a plain atomic add and a
// call that is not instrumented. Built with -finstrument-functions.
//
// The probe decides at load whether automatic counting is on, so the
// benchmark process prepares a method list and the segments, then runs
// itself again with OSTRIVEL_METHOD_LIST set.

#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ostrivel/probe.h"
#include "tools/counter_segment/counter_segment.h"

#define BENCH_NO_INSTRUMENT __attribute__((noinline, no_instrument_function))

extern "C" {
BENCH_NO_INSTRUMENT int UninstrumentedCall(int x) {
  asm volatile("");
  return x + 1;
}
__attribute__((noinline)) int ListedCall(int x) {
  asm volatile("");
  return x + 1;
}
__attribute__((noinline)) int UnlistedCall(int x) {
  asm volatile("");
  return x + 1;
}
}

namespace {

BENCH_NO_INSTRUMENT void BM_Floor_UninstrumentedCall(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = UninstrumentedCall(x));
}
BENCHMARK(BM_Floor_UninstrumentedCall);

BENCH_NO_INSTRUMENT void BM_Floor_AtomicAdd(benchmark::State& state) {
  static std::atomic<std::uint64_t> counter{0};
  for (auto _ : state) counter.fetch_add(1, std::memory_order_relaxed);
}
BENCHMARK(BM_Floor_AtomicAdd)->Threads(1)->Threads(2);

BENCH_NO_INSTRUMENT void BM_ExplicitCount(benchmark::State& state) {
  if (ostrivel_probe_attach("Explicit") != OSTRIVEL_PROBE_OK) {
    state.SkipWithError("no segment");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(ostrivel_probe_count("Explicit", 1));
  }
}
BENCHMARK(BM_ExplicitCount)->Threads(1)->Threads(2);

// A program that counts while no service runs: the segment is missing and
// looked for again at most once a second.
BENCH_NO_INSTRUMENT void BM_ExplicitCountWithoutSegment(
    benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ostrivel_probe_count("Missing", 1));
  }
}
BENCHMARK(BM_ExplicitCountWithoutSegment)->Threads(1)->Threads(2);

BENCH_NO_INSTRUMENT void BM_InstrumentedCallListed(benchmark::State& state) {
  if (ostrivel_probe_automatic() != 1) {
    state.SkipWithError("automatic counting is off");
    return;
  }
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = ListedCall(x));
}
BENCHMARK(BM_InstrumentedCallListed)->Threads(1)->Threads(2);

BENCH_NO_INSTRUMENT void BM_InstrumentedCallNotListed(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = UnlistedCall(x));
}
BENCHMARK(BM_InstrumentedCallNotListed);

BENCH_NO_INSTRUMENT int TakeFirstObject(dl_phdr_info* info, std::size_t,
                                        void* data) {
  *static_cast<std::uintptr_t*>(data) = info->dlpi_addr;
  return 1;
}

// Prepares the list and the segments, and runs this program again with
// automatic counting on.
BENCH_NO_INSTRUMENT int Prepare(int argc, char** argv) {
  std::string channel = "bench" + std::to_string(::getpid());
  std::string list = "/tmp/ostrivel-probe-bench-" + channel + ".csv";
  std::uintptr_t bias = 0;
  ::dl_iterate_phdr(TakeFirstObject, &bias);
  char line[64];
  std::snprintf(line, sizeof line, "0x%llx;ListedCall;\n",
                static_cast<unsigned long long>(
                    reinterpret_cast<std::uintptr_t>(&ListedCall) - bias));
  if (FILE* file = std::fopen(list.c_str(), "w")) {
    std::fprintf(file, "ProjectName;Bench\n%s", line);
    std::fclose(file);
  }
  ostrivel::tools::OwnedSegment automatic, explicitCounts;
  std::string error, note;
  if (!automatic.Create(ostrivel::tools::SegmentName(channel, "Bench"), 1,
                        &error, &note) ||
      !explicitCounts.Create(ostrivel::tools::SegmentName(channel, "Explicit"),
                             4, &error, &note)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ::setenv("OSTRIVEL_CHANNEL", channel.c_str(), 1);
  ::setenv("OSTRIVEL_METHOD_LIST", list.c_str(), 1);
  pid_t child = ::fork();
  if (child == 0) {
    ::execv("/proc/self/exe", argv);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::remove(list.c_str());
  (void)argc;
  std::printf("counted by the hooks: %llu\n",
              static_cast<unsigned long long>(automatic.counter(0).load()));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

BENCH_NO_INSTRUMENT int main(int argc, char** argv) {
  if (std::getenv("OSTRIVEL_METHOD_LIST") == nullptr) {
    return Prepare(argc, argv);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
