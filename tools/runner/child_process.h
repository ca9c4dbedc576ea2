#ifndef OSTRIVEL_RUNNER_CHILD_PROCESS_H_
#define OSTRIVEL_RUNNER_CHILD_PROCESS_H_

#include <string>
#include <utility>
#include <vector>

namespace ostrivel::runner {

struct CommandOptions {
  // Variables added to (or replacing in) the runner's own environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Kills the command (and every process of its group) after this many
  // milliseconds; 0 waits as long as it runs.
  int timeoutMs = 0;
  // Collects standard output and standard error instead of passing them
  // through to the runner's own.
  bool captureOutput = true;
};

struct CommandResult {
  bool started = false;  // false: "error" says why
  bool timedOut = false;
  int exitCode = -1;   // when it exited
  int signal = 0;      // when a signal ended it
  std::string output;  // when captured: standard output and error, mixed
  std::string error;

  bool Passed() const { return started && !timedOut && exitCode == 0; }
  // "exit code 3", "killed by signal 9", "timed out", ...
  std::string Describe() const;
};

// Runs "command" with /bin/sh -c in a process group of its own, standard
// input from /dev/null, and waits for it.
CommandResult RunCommand(const std::string& command,
                         const CommandOptions& options);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_CHILD_PROCESS_H_
