// The GCC route's per-test counts against clang's source-based coverage:
// call_dense runs a handful of tests under ostrivel-run, its calls counted
// by the probe, and the same tests once more built with
// -fprofile-instr-generate; every function's count in each test's trace
// file must equal the entry count llvm-profdata reports for it, the static
// inline functions (which both compilers count before inlining) included.

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/started_service.h"
#include "testing/temp_dir.h"
#include "tools/process/child_process.h"

namespace ostrivel {
namespace {

using process::CommandOptions;
using process::CommandResult;
using process::RunCommand;
using testing::ReadFile;
using testing::SplitFields;
using testing::SplitLines;
using testing::TempDir;
using testing::WriteFile;

// Counts by function name. Static functions of one name in several files
// are added up on both sides, since the method list does not tell them
// apart by file.
using Counts = std::map<std::string, long long>;

// One test per shape of input, small enough for a short run.
constexpr unsigned kTests[] = {0, 1, 2, 3, 4, 5, 11};
constexpr const char* kRepeat = "1";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Every method of the list with 0 calls, plus the calls of the trace file's
// rows ("ID;Method;Package;calls").
Counts GccCounts(const std::string& methodList, const std::string& trace) {
  Counts counts;
  std::vector<std::string> methods = SplitLines(ReadFile(methodList));
  for (std::size_t i = 1; i < methods.size(); ++i) {
    counts[SplitFields(methods[i]).at(1)] += 0;
  }
  std::vector<std::string> rows = SplitLines(ReadFile(trace));
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::vector<std::string> fields = SplitFields(rows[i]);
    if (fields.size() < 4) {
      ADD_FAILURE() << "trace row " << rows[i];
      continue;
    }
    counts[fields[1]] += std::atoll(fields.back().c_str());
  }
  return counts;
}

// The "Function count" of every function in "llvm-profdata show
// --all-functions" output; a static function's name there is
// "<file>:<name>".
Counts ClangCounts(const std::string& shown) {
  Counts counts;
  std::string function;
  for (const std::string& line : SplitLines(shown)) {
    if (line.size() > 3 && line.rfind("  ", 0) == 0 && line[2] != ' ' &&
        line.back() == ':') {
      function = line.substr(2, line.size() - 3);
      function = function.substr(function.rfind(':') + 1);
    }
    const std::string label = "    Function count: ";
    if (!function.empty() && line.rfind(label, 0) == 0) {
      counts[function] += std::atoll(line.c_str() + label.size());
      function.clear();
    }
  }
  return counts;
}

// Why the comparison cannot run here, or "" when it can.
std::string MissingTools() {
  if (std::string(OSTRIVEL_CALL_DENSE_CLANG_COVERAGE).empty()) {
    return "clang-14 was not found when the build was configured";
  }
  if (std::string(OSTRIVEL_LLVM_PROFDATA).empty()) {
    return "llvm-profdata-14 was not found when the build was configured";
  }
  return "";
}

// Each case runs its test under ostrivel-run against a service of its own
// (CTest runs every case as a process of its own).
class CallDenseExactnessTest : public ::testing::TestWithParam<unsigned> {
 protected:
  // The GCC route's counts for "test", from its trace file.
  Counts Counted(unsigned test) {
    std::string methods = dir_.File("methods/");
    std::filesystem::create_directories(methods);
    std::filesystem::create_directories(dir_.File("traces/"));
    std::filesystem::copy_file(OSTRIVEL_CALL_DENSE_METHODS,
                               methods + "call_dense.csv");
    std::string channel = tools::testing::UniqueChannel("exact");
    tools::testing::StartedService service(OSTRIVEL_SERVICE_PATH, methods,
                                           channel, dir_.File("service.log"));
    EXPECT_TRUE(service.ok()) << service.startOutput();
    if (!service.ok()) return {};
    WriteFile(dir_.File("ostrivel.conf"),
              "host_name: 127.0.0.1\nport: " + std::to_string(service.port()) +
                  "\nbase_location: " + dir_.File("traces/") +
                  "\nlog_location: " + dir_.File("log.txt") +
                  "\nres_location: " + dir_.File("result.csv") +
                  "\nmethods_location: " + methods + "\n");
    std::string name = "t" + std::to_string(test);
    WriteFile(dir_.File("tests.txt"),
              name + "\t" + Quoted(OSTRIVEL_CALL_DENSE_GCC) + " --test " +
                  std::to_string(test) + " --repeat " + kRepeat + "\n");
    CommandOptions options;
    options.environment = {
        {"OSTRIVEL_CHANNEL", channel},
        {"OSTRIVEL_METHOD_LIST", methods + "call_dense.csv"}};
    options.timeoutMs = 60000;
    CommandResult run =
        RunCommand(Quoted(OSTRIVEL_RUN_PATH) + " --library " +
                       Quoted(OSTRIVEL_LIBRARY_PATH) + " --config " +
                       Quoted(dir_.File("ostrivel.conf")) + " " +
                       Quoted(dir_.File("tests.txt")),
                   options);
    EXPECT_TRUE(run.Passed()) << run.Describe() << run.output;
    return GccCounts(OSTRIVEL_CALL_DENSE_METHODS,
                     dir_.File("traces/" + name + "_call_dense_trace.csv"));
  }

  // The reference: the clang build's counts for "test".
  Counts Reference(unsigned test) {
    std::string raw = dir_.File("t" + std::to_string(test) + ".profraw");
    std::string merged = dir_.File("t" + std::to_string(test) + ".profdata");
    CommandOptions options;
    options.environment = {{"LLVM_PROFILE_FILE", raw}};
    options.timeoutMs = 60000;
    CommandResult program =
        RunCommand(Quoted(OSTRIVEL_CALL_DENSE_CLANG_COVERAGE) + " --test " +
                       std::to_string(test) + " --repeat " + kRepeat,
                   options);
    EXPECT_TRUE(program.Passed()) << program.Describe() << program.output;
    options.environment.clear();
    CommandResult merge =
        RunCommand(Quoted(OSTRIVEL_LLVM_PROFDATA) + " merge -o " +
                       Quoted(merged) + " " + Quoted(raw),
                   options);
    EXPECT_TRUE(merge.Passed()) << merge.Describe() << merge.output;
    options.captureOutput = true;
    CommandResult show =
        RunCommand(Quoted(OSTRIVEL_LLVM_PROFDATA) + " show --all-functions " +
                       Quoted(merged) + " 2>/dev/null",
                   options);
    EXPECT_TRUE(show.Passed()) << show.Describe() << show.output;
    return ClangCounts(show.output);
  }

  TempDir dir_;
};

TEST_P(CallDenseExactnessTest, EveryFunctionsCountEqualsLlvmCovs) {
  std::string missing = MissingTools();
  if (!missing.empty()) {
    const char* required = std::getenv("OSTRIVEL_REQUIRE_LLVM");
    if (required != nullptr && std::string(required) == "1") {
      FAIL() << missing << " (OSTRIVEL_REQUIRE_LLVM=1)";
    }
    GTEST_SKIP() << missing
                 << " (OSTRIVEL_REQUIRE_LLVM=1 makes this a failure)";
  }
  Counts gcc = Counted(GetParam());
  Counts clang = Reference(GetParam());

  std::string differences;
  for (const auto& [function, calls] : gcc) {
    auto found = clang.find(function);
    if (found == clang.end()) {
      differences += "\n  " + function + ": only in the method list";
    } else if (found->second != calls) {
      differences += "\n  " + function + ": " + std::to_string(calls) +
                     " counted, llvm-cov " + std::to_string(found->second);
    }
  }
  for (const auto& [function, calls] : clang) {
    if (gcc.count(function) == 0) {
      differences += "\n  " + function + ": only llvm-cov has it (" +
                     std::to_string(calls) + ")";
    }
  }
  EXPECT_EQ(differences, "");
  // The comparison saw real work, the inlined helpers among it.
  EXPECT_GT(gcc.size(), 90u);
  EXPECT_GT(gcc["is_space"], 0);
  EXPECT_GT(gcc["parse_value"], 1000);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CallDenseExactnessTest,
                         ::testing::ValuesIn(kTests));

}  // namespace
}  // namespace ostrivel
