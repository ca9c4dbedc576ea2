// One test cycle against the service over loopback TCP (NEWTC, then ASK),
// by the number of methods per application, beside its floor: NEWTC alone,
// whose answer is a timestamp.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "testing/test_process.h"
#include "tools/collection_service/collection_service.h"

namespace {

using ostrivel::collection::CollectionService;
using ostrivel::collection::ServiceLog;
using ostrivel::collection::ServiceOptions;
using ostrivel::tools::testing::ActionRequest;
using ostrivel::tools::testing::HttpClient;

// A service with three applications of "methods" methods each.
class BenchService {
 public:
  explicit BenchService(int methods) {
    directory_ = std::filesystem::temp_directory_path() /
                 ("ostrivel-service-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    for (const char* application : {"Alpha", "Beta", "Gamma"}) {
      std::ofstream out(directory_ / (std::string(application) + ".csv"));
      out << "ProjectName;" << application << "\n";
      for (int i = 0; i < methods; ++i) out << "0x" << i << ";m" << i << ";\n";
    }
    log_.Silence();
    ServiceOptions options;
    options.port = 0;
    options.methodsDirectory = directory_.string();
    options.channel = "bench" + std::to_string(::getpid());
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
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_Floor_Newtc(benchmark::State& state) { Cycle(state, false); }
BENCHMARK(BM_Floor_Newtc)->Arg(100)->Arg(100000);

void BM_NewtcAndAsk(benchmark::State& state) { Cycle(state, true); }
BENCHMARK(BM_NewtcAndAsk)->Arg(100)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
