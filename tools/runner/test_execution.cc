#include "tools/runner/test_execution.h"

#include <charconv>
#include <chrono>

#include <fmt/format.h>

#include "tools/printable/printable.h"
#include "tools/runner/output_tail.h"

namespace ostrivel::runner {

namespace {

using tools::Printable;

// A failed test shows at most this many of its last output lines, each cut
// after this many bytes.
constexpr std::size_t kShownOutputLines = 40;
constexpr std::size_t kShownLineBytes = 4096;

std::string ShownOutput(const OutputTail& tail) {
  std::string shown;
  if (tail.linesLeftOut() > 0) {
    shown +=
        fmt::format("    | ... ({} lines left out)\n", tail.linesLeftOut());
  }
  for (const OutputTail::Line& line : tail.lines()) {
    shown += "    | " + Printable(line.text);
    if (line.cut > 0) shown += fmt::format(" ... ({} more bytes)", line.cut);
    shown += "\n";
  }
  return shown;
}

// A passing GoogleTest program that skipped its test says so in its
// summary.
bool SkippedItself(const OutputTail& tail) {
  for (const OutputTail::Line& line : tail.lines()) {
    if (line.text.rfind("[  SKIPPED ] 1 test", 0) == 0) return true;
  }
  return false;
}

void PutField(std::string_view field, std::string* bytes) {
  *bytes += std::to_string(field.size());
  *bytes += ':';
  bytes->append(field);
}

bool TakeField(std::string_view* bytes, std::string* field) {
  std::size_t length = 0;
  auto [end, error] =
      std::from_chars(bytes->data(), bytes->data() + bytes->size(), length);
  std::size_t digits = static_cast<std::size_t>(end - bytes->data());
  if (error != std::errc() || digits == 0 || digits >= bytes->size() ||
      (*bytes)[digits] != ':' || bytes->size() - digits - 1 < length) {
    return false;
  }
  field->assign(bytes->substr(digits + 1, length));
  bytes->remove_prefix(digits + 1 + length);
  return true;
}

}  // namespace

TestExecution ExecuteTest(HarnessLibrary& library, const TestCase& test,
                          const ExecutionOptions& options,
                          ProbeWarnings& warnings) {
  TestExecution execution;
  library.SetTestName(test.name.c_str());
  execution.serviceReached = library.StartNewTestCase();

  process::CommandOptions command = options.command;
  command.environment.emplace_back("OSTRIVEL_TEST_NAME", test.name);
  if (!warnings.path().empty()) {
    command.environment.emplace_back("OSTRIVEL_PROBE_WARNINGS",
                                     warnings.path());
  }
  command.captureOutput = false;
  OutputTail tail(kShownOutputLines, kShownLineBytes);
  auto start = std::chrono::steady_clock::now();
  process::CommandResult result =
      options.showOutput ? process::RunCommand(test.command, command)
                         : RunCommandKeepingTail(test.command, command, &tail);
  execution.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();

  library.GetCollectedInformation();
  execution.passed = result.Passed();
  execution.skipped = options.gtest && execution.passed && SkippedItself(tail);
  execution.probeWarnings = warnings.Take();
  if (!execution.passed) {
    execution.failure = "    " + Printable(result.Describe()) + "\n";
    if (!options.showOutput) execution.failure += ShownOutput(tail);
  }
  return execution;
}

std::string DescribeExecution(const TestExecution& execution) {
  std::string text = fmt::format(
      " {} ({} ms)",
      execution.passed ? (execution.skipped ? "SKIP" : "PASS") : "FAIL",
      execution.elapsedMs);
  if (!execution.serviceReached) text += " [no coverage: service unreachable]";
  text += "\n";
  for (const std::string& warning : execution.probeWarnings) {
    text += "    " + warning + "\n";
  }
  return text + execution.failure;
}

std::string EncodeExecution(const TestExecution& execution) {
  std::string bytes;
  std::string flags = {execution.serviceReached ? '1' : '0',
                       execution.passed ? '1' : '0',
                       execution.skipped ? '1' : '0'};
  PutField(flags, &bytes);
  PutField(std::to_string(execution.elapsedMs), &bytes);
  PutField(execution.failure, &bytes);
  PutField(execution.rows, &bytes);
  PutField(std::to_string(execution.probeWarnings.size()), &bytes);
  for (const std::string& warning : execution.probeWarnings) {
    PutField(warning, &bytes);
  }
  return bytes;
}

std::optional<TestExecution> DecodeExecution(std::string_view bytes) {
  TestExecution execution;
  std::string flags;
  std::string elapsed;
  std::string warnings;
  if (!TakeField(&bytes, &flags) || flags.size() != 3 ||
      !TakeField(&bytes, &elapsed) || !TakeField(&bytes, &execution.failure) ||
      !TakeField(&bytes, &execution.rows) || !TakeField(&bytes, &warnings)) {
    return std::nullopt;
  }
  execution.serviceReached = flags[0] == '1';
  execution.passed = flags[1] == '1';
  execution.skipped = flags[2] == '1';
  execution.elapsedMs = std::atoll(elapsed.c_str());
  std::size_t count = static_cast<std::size_t>(std::atoll(warnings.c_str()));
  for (std::size_t i = 0; i < count; ++i) {
    std::string warning;
    if (!TakeField(&bytes, &warning)) return std::nullopt;
    execution.probeWarnings.push_back(std::move(warning));
  }
  if (!bytes.empty()) return std::nullopt;
  return execution;
}

}  // namespace ostrivel::runner
