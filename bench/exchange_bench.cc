// The cost of one complete test cycle (StartNewTestCase and
// GetCollectedInformation) against a local service that answers two
// applications of 100 counts each, at the default log level, beside the two
// floors that the cycle cannot go below:
//   - the network floor: the same two requests and answers, byte for byte,
//     sent and received with plain socket calls over one loopback
//     connection to the same service;
//   - the file floor: the same opens, writes and closes of the log, the
//     result file and the trace files, done directly with the same bytes.
// All three report microseconds per cycle (real time: the service runs on a
// thread of its own).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "formats/trace_format.h"
#include "harness/state.h"
#include "ostrivel/functionality.h"
#include "service/answer_framing.h"
#include "testing/loopback_service.h"

namespace ostrivel::bench {
namespace {

using testing::HttpAnswer;
using testing::LoopbackService;

constexpr int kApplications = 2;
constexpr int kMethods = 100;
constexpr const char* kTestName = "Bench";
constexpr const char* kStartBody = R"({"timestamp":"2014.05.06 12:34:56.000"})";

int CountOf(int application, int method) {
  return (method + application) % 3 == 0 ? 0
                                         : (method * 7 + application) % 50 + 1;
}

std::string AppName(int application) {
  return "App" + std::to_string(application);
}

std::string AskBody() {
  std::string body = R"({"timestamp":"2014.05.06 12:34:57.500","data":{)";
  for (int a = 0; a < kApplications; ++a) {
    if (a > 0) body += ',';
    body += '"' + AppName(a) + "\":[";
    for (int m = 0; m < kMethods; ++m) {
      if (m > 0) body += ',';
      body += std::to_string(CountOf(a, m));
    }
    body += ']';
  }
  body += "}}";
  return body;
}

std::string MethodLine(int method) {
  return "m" + std::to_string(method) + ";method" + std::to_string(method) +
         ";com.example.shop";
}

// A service that answers "NEWTC" with a start and everything else with the
// counts.
void Answering(LoopbackService& service) {
  service.SetResponder(
      [start = HttpAnswer(kStartBody),
       ask = HttpAnswer(AskBody())](const std::string& request) {
        return LoopbackService::Answer(
            request.find("NEWTC") != std::string::npos ? start : ask);
      });
}

// A fresh directory, removed at the end.
class Scratch {
 public:
  Scratch() {
    path_ = (std::filesystem::temp_directory_path() /
             ("ostrivel-bench-" + std::to_string(::getpid())))
                .string() +
            "/";
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~Scratch() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void BM_Cycle(benchmark::State& state) {
  Scratch scratch;
  LoopbackService service;
  Answering(service);

  harness::ResetState();
  harness::ProcessState& process = harness::State();
  process.settings.base_location = scratch.path();
  process.settings.log_location = scratch.path() + "log.txt";
  process.settings.res_location = scratch.path() + "result.csv";
  process.settings.port = service.port();
  for (int a = 0; a < kApplications; ++a) {
    coverage::MethodList& list = process.methodLists[AppName(a)];
    for (int m = 0; m < kMethods; ++m) list.push_back(MethodLine(m));
  }
  Functionality::Open();
  Functionality::SetTestName(kTestName);

  for (auto _ : state) {
    Functionality::StartNewTestCase();
    Functionality::GetCollectedInformation();
  }

  if (!process.collector.connected || process.collector.testEndTime == 0) {
    state.SkipWithError("the cycle did not reach the service");
  }
  Functionality::Close();
  harness::ResetState();
}
BENCHMARK(BM_Cycle)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Receives exactly "size" bytes.
bool ReceiveExactly(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::recv(fd, buffer + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void BM_NetworkFloor(benchmark::State& state) {
  LoopbackService service;
  Answering(service);
  const std::string requests[] = {
      service::ComposeRequest("localhost", service.port(),
                              R"({"action":"NEWTC"})"),
      service::ComposeRequest("localhost", service.port(),
                              R"({"action":"ASK"})")};
  const std::size_t answers[] = {HttpAnswer(kStartBody).size(),
                                 HttpAnswer(AskBody()).size()};
  std::vector<char> buffer(answers[1]);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(service.port());
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof(address)) != 0) {
    state.SkipWithError("cannot connect");
    return;
  }
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      if (::send(fd, requests[i].data(), requests[i].size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(requests[i].size()) ||
          !ReceiveExactly(fd, buffer.data(), answers[i])) {
        state.SkipWithError("the exchange failed");
        break;
      }
    }
  }
  ::close(fd);
}
BENCHMARK(BM_NetworkFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::string Number(double value) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof(text), value,
                           std::chars_format::general, 6)
                 .ptr;
  return std::string(text, end);
}

// Opens "path" in "mode", writes "bytes", closes it.
void Put(const std::string& path, const char* mode, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

void BM_FileFloor(benchmark::State& state) {
  Scratch scratch;
  const std::string log = scratch.path() + "log.txt";
  const std::string result = scratch.path() + "result.csv";
  auto line = [](const char* message) {
    return std::string("[2014-05-06 12:34:56, SIMPLE]  ") + message + "\r\n";
  };

  // The pieces of each result row, one open each, and each trace file.
  std::vector<std::vector<std::string>> rows;
  std::vector<std::pair<std::string, std::string>> traces;
  for (int a = 0; a < kApplications; ++a) {
    long traceLength = 0;
    int covered = 0;
    std::string coveredIds;
    std::string uncoveredIds;
    std::string trace = std::string(ostrivel::formats::kTraceHeader) + "\r\n";
    for (int m = 0; m < kMethods; ++m) {
      int count = CountOf(a, m);
      std::string& ids = count != 0 ? coveredIds : uncoveredIds;
      if (!ids.empty()) ids += ' ';
      ids += std::to_string(m);
      if (count != 0) {
        traceLength += count;
        ++covered;
        trace += MethodLine(m) + ";" + std::to_string(count) + "\r\n";
      }
    }
    rows.push_back({std::string(kTestName) + ";", AppName(a) + ";",
                    Number(static_cast<double>(traceLength)), ";",
                    Number(100.0 * covered / kMethods), ";", Number(1500), ";",
                    coveredIds, ";", uncoveredIds, "\r\n"});
    traces.emplace_back(
        scratch.path() + kTestName + "_" + AppName(a) + "_trace.csv", trace);
  }
  Put(result, "ab", "header\r\n");

  for (auto _ : state) {
    Put(log, "ab", line("Start new test case."));
    Put(log, "ab", line("Evaluating."));
    Put(log, "ab", line("Communicate with the service."));
    Put(log, "ab", line("Get collected information."));
    Put(log, "ab", line("Evaluating."));
    // The probe of the result file at the first piece of the evaluation.
    std::FILE* probe = std::fopen(result.c_str(), "rb");
    if (probe != nullptr) std::fclose(probe);
    for (int a = 0; a < kApplications; ++a) {
      for (const std::string& piece : rows[a]) Put(result, "ab", piece);
      Put(traces[a].first, "wb", traces[a].second);
    }
    Put(log, "ab", line("Communicate with the service."));
  }
}
BENCHMARK(BM_FileFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace ostrivel::bench

BENCHMARK_MAIN();
