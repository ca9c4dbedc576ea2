// The cost of evaluating one large answer to "ASK", beside its floor: the
// JSON library parsing the same body with a handler that does nothing, plus
// writing the same output bytes with one buffered write per file. All three
// report MB/s of answer body, so the ratio of the first to the last is the
// evaluation's overhead.

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/json/basic_parser_impl.hpp>

#include "bench/workload.h"
#include "coverage/evaluate.h"
#include "harness/state.h"

namespace ostrivel::bench {
namespace {

using boost::json::error_code;
using JsonView = boost::json::string_view;

const Workload& TheWorkload() {
  static const Workload workload = MakeWorkload();
  return workload;
}

// Accepts every event: the parse alone.
struct NullHandler {
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t, error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t, error_code&) { return true; }
  bool on_string_part(JsonView, std::size_t, error_code&) { return true; }
  bool on_string(JsonView, std::size_t, error_code&) { return true; }
  bool on_key_part(JsonView, std::size_t, error_code&) { return true; }
  bool on_key(JsonView, std::size_t, error_code&) { return true; }
  bool on_number_part(JsonView, error_code&) { return true; }
  bool on_int64(std::int64_t, JsonView, error_code&) { return true; }
  bool on_uint64(std::uint64_t, JsonView, error_code&) { return true; }
  bool on_double(double, JsonView, error_code&) { return true; }
  bool on_bool(bool, error_code&) { return true; }
  bool on_null(error_code&) { return true; }
  bool on_comment_part(JsonView, error_code&) { return true; }
  bool on_comment(JsonView, error_code&) { return true; }
};

void ParseOnly(const std::string& body) {
  boost::json::parse_options options;
  options.allow_invalid_utf8 = true;
  boost::json::basic_parser<NullHandler> parser(options);
  error_code ec;
  std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
  if (ec || used != body.size()) std::abort();
  benchmark::DoNotOptimize(used);
}

// The files one evaluation writes, as path and bytes, in writing order.
using Outputs = std::vector<std::pair<std::string, std::string>>;

Outputs CollectOutputs(const std::string& directory) {
  UseDirectory(directory, TheWorkload().methodLists);
  bench::Evaluate(TheWorkload().body);
  Outputs outputs;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string path = entry.path().string();
    if (path.ends_with("log.txt")) continue;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::string bytes(std::filesystem::file_size(path), '\0');
    if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
      std::abort();
    }
    std::fclose(file);
    std::filesystem::remove(path);
    outputs.emplace_back(std::move(path), std::move(bytes));
  }
  return outputs;
}

void WriteOnce(const Outputs& outputs) {
  for (const auto& [path, bytes] : outputs) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
}

void RemoveResultFile(benchmark::State& state, const std::string& path) {
  state.PauseTiming();
  std::filesystem::remove(path);
  state.ResumeTiming();
}

void BM_Evaluate(benchmark::State& state) {
  const Workload& workload = TheWorkload();
  ScratchDirectory directory;
  UseDirectory(directory.path(), workload.methodLists);
  auto& collector = harness::State().collector;
  const std::string resultPath = harness::State().settings.res_location;
  for (auto _ : state) {
    RemoveResultFile(state, resultPath);
    collector.resultFileExists = false;
    bench::Evaluate(workload.body);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(workload.body.size()));
  harness::ResetState();
}

void BM_FloorParseAndWrite(benchmark::State& state) {
  const Workload& workload = TheWorkload();
  ScratchDirectory directory;
  const Outputs outputs = CollectOutputs(directory.path());
  const std::string resultPath = directory.path() + "result.csv";
  for (auto _ : state) {
    RemoveResultFile(state, resultPath);
    ParseOnly(workload.body);
    WriteOnce(outputs);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(workload.body.size()));
  harness::ResetState();
}

void BM_FloorParseOnly(benchmark::State& state) {
  const Workload& workload = TheWorkload();
  for (auto _ : state) ParseOnly(workload.body);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(workload.body.size()));
}

BENCHMARK(BM_Evaluate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorParseAndWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorParseOnly)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ostrivel::bench

BENCHMARK_MAIN();
