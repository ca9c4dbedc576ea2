// The cost of counting one call, through the C interface and through the
// -finstrument-functions hooks, beside its floors: a plain atomic add and a
// call that is not instrumented. Built with -finstrument-functions.
//
// The probe decides at load whether automatic counting is on, so the
// benchmark process prepares a method list and the segments, then runs
// itself again with OSTRIVEL_METHOD_LIST set: once with a list of the
// benchmark's own functions, and once each with that list filled up to
// 10,000 and 100,000 lines, as a large program's list would be. The hook
// benchmarks carry the list's length in their names.

#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
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

// Many small listed functions, called in turn: a call-dense program's
// entries land all over the probe's table, not on one hot entry.
constexpr int kManyFunctions = 1000;

template <int N>
__attribute__((noinline)) int ManyCall(int x) {
  asm volatile("");
  return x + N % 3;
}

using Function = int (*)(int);

template <int... N>
constexpr std::array<Function, sizeof...(N)> MakeMany(
    std::integer_sequence<int, N...>) {
  return {&ManyCall<N>...};
}

constexpr std::array<Function, kManyFunctions> kMany =
    MakeMany(std::make_integer_sequence<int, kManyFunctions>());

const char* ListLength() {
  const char* length = std::getenv("OSTRIVEL_BENCH_LIST_LENGTH");
  return length != nullptr ? length : "?";
}

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

BENCH_NO_INSTRUMENT void HookListed(benchmark::State& state) {
  if (ostrivel_probe_automatic() != 1) {
    state.SkipWithError("automatic counting is off");
    return;
  }
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = ListedCall(x));
}

BENCH_NO_INSTRUMENT void HookNotListed(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) benchmark::DoNotOptimize(x = UnlistedCall(x));
}

// Per call, over kManyFunctions listed functions called in turn.
BENCH_NO_INSTRUMENT void HookManyListed(benchmark::State& state) {
  if (ostrivel_probe_automatic() != 1) {
    state.SkipWithError("automatic counting is off");
    return;
  }
  int x = 0;
  for (auto _ : state) {
    for (Function function : kMany) benchmark::DoNotOptimize(x = function(x));
  }
  state.SetItemsProcessed(state.iterations() * kManyFunctions);
}

BENCH_NO_INSTRUMENT void RegisterHookBenchmarks() {
  std::string suffix = std::string("/list:") + ListLength();
  benchmark::RegisterBenchmark(("BM_HookListed" + suffix).c_str(), HookListed)
      ->Threads(1)
      ->Threads(2);
  benchmark::RegisterBenchmark(("BM_HookNotListed" + suffix).c_str(),
                               HookNotListed);
  benchmark::RegisterBenchmark(("BM_HookManyListed" + suffix).c_str(),
                               HookManyListed);
}

BENCH_NO_INSTRUMENT int TakeFirstObject(dl_phdr_info* info, std::size_t,
                                        void* data) {
  *static_cast<std::uintptr_t*>(data) = info->dlpi_addr;
  return 1;
}

// Writes a method list of "length" lines: ListedCall first, then the many
// functions, then odd offsets above them that no function starts at.
BENCH_NO_INSTRUMENT bool WriteList(const std::string& path,
                                   std::size_t length) {
  std::uintptr_t bias = 0;
  ::dl_iterate_phdr(TakeFirstObject, &bias);
  auto offset = [bias](Function function) {
    return static_cast<unsigned long long>(
        reinterpret_cast<std::uintptr_t>(function) - bias);
  };
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "ProjectName;Bench\n0x%llx;ListedCall;\n",
               offset(&ListedCall));
  std::size_t written = 1;
  unsigned long long highest = offset(&ListedCall);
  for (Function function : kMany) {
    if (written == length) break;
    std::fprintf(file, "0x%llx;ManyCall;\n", offset(function));
    highest = std::max(highest, offset(function));
    ++written;
  }
  for (unsigned long long filler = highest + 1; written < length;
       filler += 16, ++written) {
    std::fprintf(file, "0x%llx;Filler;\n", filler);
  }
  return std::fclose(file) == 0;
}

// Prepares the lists and the segments, and runs this program again with
// automatic counting on, once per list length.
BENCH_NO_INSTRUMENT int Prepare(char** argv) {
  std::string channel = "bench" + std::to_string(::getpid());
  std::string list = "/tmp/ostrivel-probe-bench-" + channel + ".csv";
  ::setenv("OSTRIVEL_CHANNEL", channel.c_str(), 1);
  ::setenv("OSTRIVEL_METHOD_LIST", list.c_str(), 1);
  std::string error, note;
  ostrivel::tools::OwnedSegment explicitCounts;
  if (!explicitCounts.Create(ostrivel::tools::SegmentName(channel, "Explicit"),
                             4, &error, &note)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int failures = 0;
  bool first = true;
  for (std::size_t length : {std::size_t{kManyFunctions + 1},
                             std::size_t{10000}, std::size_t{100000}}) {
    ostrivel::tools::OwnedSegment automatic;
    if (!WriteList(list, length) ||
        !automatic.Create(ostrivel::tools::SegmentName(channel, "Bench"),
                          length, &error, &note)) {
      std::fprintf(stderr, "cannot prepare a list of %zu: %s\n", length,
                   error.c_str());
      return 1;
    }
    ::setenv("OSTRIVEL_BENCH_LIST_LENGTH", std::to_string(length).c_str(), 1);
    std::vector<char*> args(argv, argv + 1);
    std::string filter = "--benchmark_filter=BM_Hook";
    if (!first) args.push_back(filter.data());
    for (char** arg = argv + 1; *arg != nullptr; ++arg) args.push_back(*arg);
    args.push_back(nullptr);
    first = false;
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child == 0) {
      ::execv("/proc/self/exe", args.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    std::printf("list of %zu: ListedCall counted by the hooks: %llu\n", length,
                static_cast<unsigned long long>(automatic.counter(0).load()));
  }
  std::remove(list.c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

BENCH_NO_INSTRUMENT int main(int argc, char** argv) {
  if (std::getenv("OSTRIVEL_METHOD_LIST") == nullptr) return Prepare(argv);
  RegisterHookBenchmarks();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
