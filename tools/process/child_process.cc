#include "tools/process/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace ostrivel::process {

namespace {

// This process's environment with "additions" put over it, as
// "NAME=value", in the order the names first appear.
std::vector<std::string> ChildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& additions) {
  std::map<std::string, std::string> variables;
  std::vector<std::string> order;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    std::string name = text.substr(0, equals);
    if (variables.emplace(name, text.substr(equals + 1)).second) {
      order.push_back(name);
    }
  }
  for (const auto& [name, value] : additions) {
    if (variables.count(name) == 0) order.push_back(name);
    variables[name] = value;
  }
  std::vector<std::string> result;
  result.reserve(order.size());
  for (const std::string& name : order) {
    result.push_back(name + "=" + variables[name]);
  }
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

void Close(int* descriptor) {
  if (*descriptor >= 0) ::close(*descriptor);
  *descriptor = -1;
}

// The descriptors of one standard stream: the child's end is set up by the
// spawn, this process keeps "ours".
struct StreamEnds {
  int child = -1;
  int ours = -1;
};

// Adds the spawn action for standard stream "target". Returns false when a
// pipe cannot be made.
bool AddStream(Stream stream, int target, bool childReads,
               posix_spawn_file_actions_t* actions, StreamEnds* ends) {
  switch (stream) {
    case Stream::kInherit:
      return true;
    case Stream::kNull:
      posix_spawn_file_actions_addopen(actions, target, "/dev/null",
                                       childReads ? O_RDONLY : O_WRONLY, 0);
      return true;
    case Stream::kPipe: {
      int pipeEnds[2];
      if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
      ends->child = childReads ? pipeEnds[0] : pipeEnds[1];
      ends->ours = childReads ? pipeEnds[1] : pipeEnds[0];
      posix_spawn_file_actions_adddup2(actions, ends->child, target);
      return true;
    }
  }
  return true;
}

std::string ReadAll(int descriptor) {
  std::string text;
  char buffer[4096];
  ::lseek(descriptor, 0, SEEK_SET);
  for (;;) {
    ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// An unlinked temporary file for a command's output. A file rather than a
// pipe: the runner waits for the command without reading meanwhile, and a
// full pipe would stall the command.
int OpenOutputFile() {
  const char* directory = std::getenv("TMPDIR");
  std::string pattern =
      std::string(directory != nullptr && *directory != '\0' ? directory
                                                             : "/tmp") +
      "/ostrivel-run-XXXXXX";
  int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (descriptor >= 0) ::unlink(pattern.c_str());
  return descriptor;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    if (ownGroup_) {
      SignalGroup(SIGKILL);
    } else {
      Signal(SIGKILL);
    }
    Wait(-1);
  }
  Close(&exitDescriptor_);
  Close(&input_);
  Close(&output_);
  Close(&errors_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const LaunchOptions& options, std::string* error) {
  if (argv.empty()) {
    *error = "no program";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  StreamEnds in, out, err;
  bool piped = AddStream(options.input, STDIN_FILENO, true, &actions, &in);
  if (options.outputDescriptor >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.outputDescriptor,
                                     STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, options.outputDescriptor,
                                     STDERR_FILENO);
  } else {
    piped = piped &&
            AddStream(options.output, STDOUT_FILENO, false, &actions, &out) &&
            AddStream(options.errors, STDERR_FILENO, false, &actions, &err);
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigset_t empty;
  sigfillset(&defaults);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.ownGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<std::string> arguments = argv;
  std::vector<char*> argumentPointers = Pointers(arguments);
  std::vector<std::string> environment = ChildEnvironment(options.environment);
  std::vector<char*> environmentPointers = Pointers(environment);

  pid_t pid = -1;
  int spawnError =
      piped ? ::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes,
                            argumentPointers.data(), environmentPointers.data())
            : errno;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (StreamEnds* ends : {&in, &out, &err}) Close(&ends->child);
  if (spawnError != 0) {
    for (StreamEnds* ends : {&in, &out, &err}) Close(&ends->ours);
    *error = std::strerror(spawnError);
    return false;
  }
  pid_ = pid;
  ownGroup_ = options.ownGroup;
  input_ = in.ours;
  output_ = out.ours;
  errors_ = err.ours;
  // The child is ours and not yet reaped, so its number cannot have been
  // given to another process in between.
  // Through syscall(): glibc's own pidfd_open() is recent (2.36) and its
  // header is not usable from C++ there.
  // Kernels before 5.3 have none (-1): Wait() then polls the child instead.
  exitDescriptor_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  return true;
}

void ChildProcess::CloseInput() { Close(&input_); }

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

void ChildProcess::SignalGroup(int signal) {
  if (pid_ > 0) ::kill(ownGroup_ ? -pid_ : pid_, signal);
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (timeoutMs >= 0 && exitDescriptor_ < 0) {
    // No process descriptor to wait on: ask every 10 ms until the deadline.
    for (;;) {
      int status = 0;
      pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
      if (reaped == pid_ || (reaped < 0 && errno != EINTR)) {
        if (reaped != pid_) status = 0;
        pid_ = -1;
        return status;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (timeoutMs >= 0) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ended{exitDescriptor_, POLLIN, 0};
      int ready = ::poll(
          &ended, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      if (ready > 0) break;
      if (ready == 0) return std::nullopt;
      if (errno != EINTR) return std::nullopt;
    }
  }
  int status = 0;
  for (;;) {
    if (::waitpid(pid_, &status, 0) == pid_) break;
    if (errno != EINTR) {
      status = 0;
      break;
    }
  }
  pid_ = -1;
  Close(&exitDescriptor_);
  return status;
}

int ExitCode(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

int TerminatingSignal(int waitStatus) {
  return WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
}

std::string CommandResult::Describe() const {
  if (!started) return "not started: " + error;
  if (timedOut) return "timed out";
  if (signal != 0) {
    return "killed by signal " + std::to_string(signal) + " (" +
           ::strsignal(signal) + ")";
  }
  return "exit code " + std::to_string(exitCode);
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

CommandResult RunCommand(const std::string& command,
                         const CommandOptions& options) {
  CommandResult result;
  LaunchOptions launch;
  launch.environment = options.environment;
  launch.input = Stream::kNull;
  launch.ownGroup = true;
  if (options.captureOutput) {
    launch.outputDescriptor = OpenOutputFile();
    if (launch.outputDescriptor < 0) {
      result.error =
          std::string("no file for its output: ") + std::strerror(errno);
      return result;
    }
  }

  ChildProcess child;
  result.started =
      child.Start({"/bin/sh", "-c", command}, launch, &result.error);
  std::optional<int> status;
  if (result.started) {
    status = child.Wait(options.timeoutMs > 0 ? options.timeoutMs : -1);
    if (!status) {
      result.timedOut = true;
      child.SignalGroup(SIGKILL);
      status = child.Wait(-1);
    }
  }
  if (status) {
    result.exitCode = ExitCode(*status);
    result.signal = TerminatingSignal(*status);
  }
  if (launch.outputDescriptor >= 0) {
    if (result.started) result.output = ReadAll(launch.outputDescriptor);
    ::close(launch.outputDescriptor);
  }
  return result;
}

}  // namespace ostrivel::process
