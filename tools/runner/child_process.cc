#include "tools/runner/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace ostrivel::runner {

namespace {

// The runner's environment with "additions" put over it, as "NAME=value".
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

// An unlinked temporary file for the command's output. A file rather than
// a pipe: the runner waits for the command without reading meanwhile, and
// a full pipe would stall the command.
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

// Waits for "pid", retrying on EINTR. Returns false on another error.
bool WaitBlocking(pid_t pid, int* status) {
  for (;;) {
    if (::waitpid(pid, status, 0) == pid) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::string CommandResult::Describe() const {
  if (!started) return "not started: " + error;
  if (timedOut) return "timed out";
  if (signal != 0) {
    return "killed by signal " + std::to_string(signal) + " (" +
           ::strsignal(signal) + ")";
  }
  return "exit code " + std::to_string(exitCode);
}

CommandResult RunCommand(const std::string& command,
                         const CommandOptions& options) {
  CommandResult result;
  int outputFile = -1;
  if (options.captureOutput) {
    outputFile = OpenOutputFile();
    if (outputFile < 0) {
      result.error =
          std::string("no file for its output: ") + std::strerror(errno);
      return result;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  if (outputFile >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFile, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputFile, STDERR_FILENO);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a time-out ends the command's children too;
  // default signal handling and an empty mask whatever the runner has.
  sigset_t defaults;
  sigset_t empty;
  sigfillset(&defaults);
  sigemptyset(&empty);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP |
                                            POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> environment = ChildEnvironment(options.environment);
  std::vector<char*> environmentPointers;
  environmentPointers.reserve(environment.size() + 1);
  for (std::string& entry : environment) {
    environmentPointers.push_back(entry.data());
  }
  environmentPointers.push_back(nullptr);
  std::string shell = "/bin/sh";
  std::string flag = "-c";
  std::string commandText = command;
  char* arguments[] = {shell.data(), flag.data(), commandText.data(), nullptr};

  pid_t pid = -1;
  int spawnError = ::posix_spawn(&pid, shell.c_str(), &actions, &attributes,
                                 arguments, environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawnError != 0) {
    result.error = std::strerror(spawnError);
    if (outputFile >= 0) ::close(outputFile);
    return result;
  }
  result.started = true;

  int status = 0;
  bool reaped = false;
  if (options.timeoutMs <= 0) {
    reaped = WaitBlocking(pid, &status);
  } else {
    // Polling keeps the runner free of signal handlers (it may run inside
    // someone else's process image, and SIGCHLD is theirs). The interval
    // grows from 1 ms so that short commands are not slowed down.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(options.timeoutMs);
    auto interval = std::chrono::milliseconds(1);
    for (;;) {
      pid_t done = ::waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        reaped = true;
        break;
      }
      if (done < 0 && errno != EINTR) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        result.timedOut = true;
        ::kill(-pid, SIGKILL);
        reaped = WaitBlocking(pid, &status);
        break;
      }
      std::this_thread::sleep_for(interval);
      interval = std::min(interval * 2, std::chrono::milliseconds(20));
    }
  }

  if (reaped) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  if (outputFile >= 0) {
    result.output = ReadAll(outputFile);
    ::close(outputFile);
  }
  return result;
}

}  // namespace ostrivel::runner
