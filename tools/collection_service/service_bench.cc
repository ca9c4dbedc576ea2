// The service's cost of answering, by the number of methods:
// - BM_Answer: building one answer body in process (AnswerRequest on a
//   CounterTable with one application of N methods), no network;
// - BM_NewtcAndAsk: one test cycle over loopback TCP (NEWTC, then ASK),
//   beside its floor BM_Floor_Newtc; the counter "service_cpu_us" is the
//   service thread's own CPU time per cycle, the figure that matters for a
//   service that answers many harnesses (the client's parsing is not in it).

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "formats/method_catalog.h"
#include "testing/test_process.h"
#include "tools/collection_service/answers.h"
#include "tools/collection_service/collection_service.h"

namespace {

using ostrivel::collection::AnswerRequest;
using ostrivel::collection::CollectionService;
using ostrivel::collection::CounterTable;
using ostrivel::collection::ServiceLog;
using ostrivel::collection::ServiceOptions;
using ostrivel::collection::TestOwner;
using ostrivel::formats::MethodCatalog;
using ostrivel::tools::testing::ActionRequest;
using ostrivel::tools::testing::HttpClient;

std::string Channel(const char* purpose) {
  return std::string(purpose) + std::to_string(::getpid());
}

// Counts that look like a test's: most methods uncalled, some called a few
// times, a few very often.
std::uint64_t SampleCount(std::uint64_t index) {
  if (index % 7 != 0) return 0;
  return index % 49 == 0 ? 1000000 + index : index % 13;
}

void BM_Answer(benchmark::State& state) {
  auto methods = static_cast<std::uint64_t>(state.range(0));
  MethodCatalog catalog;
  catalog.applications["Alpha"].resize(methods, "m");
  CounterTable table;
  std::string error;
  std::vector<std::string> notes;
  if (!table.Create(Channel("answerbench"), catalog, &error, &notes)) {
    state.SkipWithError(error.c_str());
    return;
  }
  ostrivel::tools::SegmentView view;
  if (ostrivel::tools::OpenSegment(
          ostrivel::tools::SegmentName(Channel("answerbench"), "Alpha"),
          &view) != ostrivel::tools::OpenStatus::kOk) {
    state.SkipWithError("segment not mapped");
    return;
  }
  for (std::uint64_t i = 0; i < methods; ++i) {
    view.counters[i].store(SampleCount(i));
  }
  ostrivel::tools::UnmapSegment(&view);
  TestOwner owner;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto answer = AnswerRequest(R"({"action":"ASK"})", 1, &owner, &table,
                                "2014.05.06 12:34:56.789");
    bytes += answer.body.size();
    benchmark::DoNotOptimize(answer.body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Answer)->Arg(1000)->Arg(100000)->Arg(1000000);

// A service with one application of "methods" methods, on its own thread.
class BenchService {
 public:
  explicit BenchService(int methods) {
    directory_ = std::filesystem::temp_directory_path() /
                 ("ostrivel-service-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    {
      std::ofstream out(directory_ / "Alpha.csv");
      out << "ProjectName;Alpha\n";
      for (int i = 0; i < methods; ++i) out << "0x" << i << ";m" << i << ";\n";
    }
    log_.Silence();
    ServiceOptions options;
    options.port = 0;
    options.methodsDirectory = directory_.string();
    options.channel = Channel("bench");
    std::string error;
    started_ = service_.Start(options, &error);
    if (started_) thread_ = std::thread([this] { service_.Run(); });
  }
  ~BenchService() {
    service_.Stop();
    if (thread_.joinable()) thread_.join();
    std::filesystem::remove_all(directory_);
  }
  bool started() const { return started_; }
  std::uint16_t port() const { return service_.port(); }

  // CPU time the service's thread has used so far, in microseconds.
  double CpuMicroseconds() {
    clockid_t clock{};
    timespec used{};
    if (::pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        ::clock_gettime(clock, &used) != 0) {
      return 0;
    }
    return static_cast<double>(used.tv_sec) * 1e6 +
           static_cast<double>(used.tv_nsec) / 1e3;
  }

 private:
  std::filesystem::path directory_;
  ServiceLog log_;
  CollectionService service_{&log_};
  bool started_ = false;
  std::thread thread_;
};

void Cycle(benchmark::State& state, bool ask) {
  BenchService service(static_cast<int>(state.range(0)));
  HttpClient client;
  if (!service.started() || !client.Connect(service.port())) {
    state.SkipWithError("no service");
    return;
  }
  std::string newtc = ActionRequest(service.port(), "NEWTC");
  std::string request = ActionRequest(service.port(), "ASK");
  std::size_t bytes = 0;
  double cpuBefore = service.CpuMicroseconds();
  for (auto _ : state) {
    client.Send(newtc);
    auto started = client.Receive();
    bytes += started ? started->body.size() : 0;
    if (ask) {
      client.Send(request);
      auto answer = client.Receive();
      bytes += answer ? answer->body.size() : 0;
    }
  }
  state.counters["service_cpu_us"] =
      benchmark::Counter(service.CpuMicroseconds() - cpuBefore,
                         benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_Floor_Newtc(benchmark::State& state) { Cycle(state, false); }
BENCHMARK(BM_Floor_Newtc)->Arg(1000)->Arg(1000000);

void BM_NewtcAndAsk(benchmark::State& state) { Cycle(state, true); }
BENCHMARK(BM_NewtcAndAsk)->Arg(1000)->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
