#ifndef OSTRIVEL_TOOLS_PROCESS_CHILD_PROCESS_H_
#define OSTRIVEL_TOOLS_PROCESS_CHILD_PROCESS_H_

// Child processes for the runner and for the tools' tests: one launcher,
// and waits that block on the child's end (a process descriptor that turns
// readable when it exits) instead of polling on a clock. Kernels before
// Linux 5.3 have no process descriptors; there a wait with a limit asks for
// the child every 10 ms.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrivel::process {

// Where one of the child's standard streams goes.
enum class Stream {
  kInherit,  // this process's own
  kNull,     // /dev/null
  kPipe,     // a pipe; this process holds the other end
};

struct LaunchOptions {
  // Variables added to (or replacing in) this process's environment.
  std::vector<std::pair<std::string, std::string>> environment;
  Stream input = Stream::kInherit;
  Stream output = Stream::kInherit;
  Stream errors = Stream::kInherit;
  // When not -1, standard output and error both go to this descriptor (an
  // unlinked file, say) and "output" and "errors" are ignored. It must stay
  // open until Start() returns.
  int outputDescriptor = -1;
  // A process group of its own, so that SignalGroup() reaches whatever the
  // child starts in turn.
  bool ownGroup = false;
};

// One started child. Every signal has its default action in the child and
// none is blocked, whatever this process has set up. The destructor kills
// a child that still runs (and its group, when it has its own) and reaps
// it.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs "argv[0]" (a path; no search) with "argv". Returns false, with the
  // reason in "*error", when the program cannot be started. At most one
  // Start() per object.
  bool Start(const std::vector<std::string>& argv, const LaunchOptions& options,
             std::string* error);

  // -1 before Start() and once the child is reaped.
  int pid() const { return pid_; }
  // This process's ends of the pipes asked for, else -1. They stay owned by
  // this object.
  int input() const { return input_; }
  int output() const { return output_; }
  int errors() const { return errors_; }
  void CloseInput();

  // Sends "signal" to the child; SignalGroup() to its whole group when it
  // has its own. Nothing happens once it is reaped.
  void Signal(int signal);
  void SignalGroup(int signal);

  // Waits for the child to end, at most "timeoutMs" (negative: no limit),
  // and reaps it. Returns its wait status, or nothing when it still runs
  // (or was never started).
  std::optional<int> Wait(int timeoutMs);

 private:
  int pid_ = -1;
  int exitDescriptor_ = -1;  // readable once the child has ended
  bool ownGroup_ = false;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

// The exit code in a wait status, or -1 when the child did not exit.
int ExitCode(int waitStatus);
// The signal that ended the child, or 0 when it exited.
int TerminatingSignal(int waitStatus);

struct CommandOptions {
  // Variables added to (or replacing in) this process's environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Kills the command (and every process of its group) after this many
  // milliseconds; 0 waits as long as it runs.
  int timeoutMs = 0;
  // Collects standard output and standard error instead of passing them
  // through to this process's own.
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

// "text" in single quotes for /bin/sh, any byte kept as it is.
std::string ShellQuoted(const std::string& text);

}  // namespace ostrivel::process

#endif  // OSTRIVEL_TOOLS_PROCESS_CHILD_PROCESS_H_
