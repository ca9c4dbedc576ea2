#include "bench/workload.h"

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <utility>

#include "harness/state.h"

namespace ostrivel::bench {

Workload MakeWorkload(int applications, int methods) {
  Workload workload;
  std::mt19937 random(20140506);
  std::string& body = workload.body;
  body = R"({"timestamp":"2014.05.06 12:34:56.789","data":{)";
  for (int a = 0; a < applications; ++a) {
    std::string name = "Application" + std::to_string(a);
    coverage::MethodList& list = workload.methodLists[name];
    list.reserve(methods);
    body += (a == 0 ? "\"" : ",\"") + name + "\":[";
    for (int m = 0; m < methods; ++m) {
      list.push_back(std::to_string(m) + ";method" + std::to_string(m) +
                     "(int, java.lang.String);com.example.module" +
                     std::to_string(a) + ".Class" + std::to_string(m / 40));
      std::uint32_t draw = random();
      std::uint32_t count = 0;
      if (draw % 3 != 0) {
        // Mostly a few calls, some hundreds, a few hot methods.
        std::uint32_t kind = (draw >> 8) % 20;
        count = kind < 14   ? 1 + (draw >> 16) % 20
                : kind < 19 ? 1 + (draw >> 12) % 1000
                            : 1 + (draw >> 8) % 500000;
      }
      if (m != 0) body += ',';
      body += std::to_string(count);
    }
    body += ']';
  }
  body += "}}";
  return workload;
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "ostrivel_bench_XXXXXX")
          .string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern + "/";
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void UseDirectory(const std::string& directory,
                  coverage::MethodLists methodLists) {
  harness::ResetState();
  auto& state = harness::State();
  state.settings.base_location = directory;
  state.settings.res_location = directory + "result.csv";
  state.settings.log_location = directory + "log.txt";
  state.collector.testName = "Login";
  state.methodLists = std::move(methodLists);
}

void Evaluate(std::string_view body) {
  harness::ProcessState& state = harness::State();
  coverage::EvaluateAnswer(body, state.settings, state.collector,
                           state.methodLists);
}

}  // namespace ostrivel::bench
