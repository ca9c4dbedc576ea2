#include "tools/runner/slot_harnesses.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include "tools/runner/result_table.h"

namespace ostrivel::runner {

namespace {

constexpr auto kCloseLimit = std::chrono::seconds(10);
// The exit code of a harness process that failed in itself (out of memory,
// no thread for a command's output).
constexpr int kHarnessFailed = 70;

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// The next line of "fd" without its LF; nothing at the end of the stream.
std::optional<std::string> ReadLine(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

// The harness process of one slot: runs the tests whose positions arrive on
// "tasks", one a line, and answers each on "results". Never returns.
[[noreturn]] void ServeSlot(HarnessLibrary& library,
                            const std::vector<TestCase>& tests,
                            const SlotHarness& harness, int tasks,
                            int results) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    std::signal(signal, SIG_DFL);
  }
  // A runner that is killed takes its harness processes with it.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Nothing may leave this function: unwinding into the runner's frames
  // would run its clean-up (stopping a private run's service) a second
  // time. The runner fails the test with the exit code.
  try {
    ProbeWarnings warnings;
    std::string error;
    warnings.Create(&error);  // without it, warnings are not shown
    library.Init(harness.configPath.c_str());
    library.Open();
    while (std::optional<std::string> line = ReadLine(tasks)) {
      std::size_t index = std::stoul(*line);
      std::uint64_t offset = FileSize(harness.resultPath);
      TestExecution execution =
          ExecuteTest(library, tests[index], harness.options, warnings);
      execution.rows = ReadFileFrom(harness.resultPath, offset);
      std::string payload = EncodeExecution(execution);
      if (!WriteAll(results, std::to_string(payload.size()) + "\n" + payload)) {
        break;
      }
    }
    library.Close();
  } catch (...) {
    ::_exit(kHarnessFailed);
  }
  ::_exit(0);
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) {
    return "exit code " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return "signal " + std::to_string(WTERMSIG(status));
  }
  return "status " + std::to_string(status);
}

// A test that failed for "reason" outside its command. Whether the service
// answered is not known; the reason says what happened instead.
TestExecution Failed(const std::string& reason) {
  TestExecution execution;
  execution.serviceReached = true;
  execution.failure = "    " + reason + "\n";
  return execution;
}

struct Harness {
  const SlotHarness* slot = nullptr;
  pid_t pid = -1;
  int tasks = -1;    // ours to write
  int results = -1;  // ours to read
  std::string received;
  std::optional<std::size_t> running;
};

// Waits at most kCloseLimit for "pid", then kills it. Returns its status.
int Reap(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + kCloseLimit;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return status;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

void RunOnSlots(
    HarnessLibrary& library, const std::vector<TestCase>& tests,
    const std::vector<SlotHarness>& harnesses,
    const std::function<void(std::size_t, TestExecution)>& finished) {
  // A harness process that died must not take this one with it.
  auto previousPipe = std::signal(SIGPIPE, SIG_IGN);

  std::vector<Harness> running;
  for (const SlotHarness& slot : harnesses) {
    int tasks[2];
    int results[2];
    if (::pipe2(tasks, O_CLOEXEC) != 0) continue;
    if (::pipe2(results, O_CLOEXEC) != 0) {
      ::close(tasks[0]);
      ::close(tasks[1]);
      continue;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      for (Harness& other : running) {
        ::close(other.tasks);
        ::close(other.results);
      }
      ::close(tasks[1]);
      ::close(results[0]);
      ServeSlot(library, tests, slot, tasks[0], results[1]);
    }
    ::close(tasks[0]);
    ::close(results[1]);
    Harness harness;
    harness.slot = &slot;
    harness.pid = pid;
    harness.tasks = tasks[1];
    harness.results = results[0];
    if (pid < 0) {
      CloseFd(&harness.tasks);
      CloseFd(&harness.results);
      continue;
    }
    running.push_back(std::move(harness));
  }

  std::size_t next = 0;
  auto giveNext = [&](Harness& harness) {
    while (next < tests.size() && harness.tasks >= 0) {
      std::size_t index = next++;
      if (WriteAll(harness.tasks, std::to_string(index) + "\n")) {
        harness.running = index;
        return;
      }
      // It is gone; its end is noticed on its results.
      --next;
      CloseFd(&harness.tasks);
    }
  };
  for (Harness& harness : running) giveNext(harness);

  for (;;) {
    std::vector<pollfd> waits;
    std::vector<Harness*> owners;
    for (Harness& harness : running) {
      if (harness.results < 0) continue;
      waits.push_back({harness.results, POLLIN, 0});
      owners.push_back(&harness);
    }
    if (waits.empty()) break;
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < waits.size(); ++i) {
      if (waits[i].revents == 0) continue;
      Harness& harness = *owners[i];
      char buffer[65536];
      ssize_t got = ::read(harness.results, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) {
        harness.received.append(buffer, static_cast<std::size_t>(got));
        for (;;) {
          std::size_t newline = harness.received.find('\n');
          if (newline == std::string::npos) break;
          std::size_t length = std::stoul(harness.received.substr(0, newline));
          if (harness.received.size() - newline - 1 < length) break;
          std::optional<TestExecution> execution = DecodeExecution(
              std::string_view(harness.received).substr(newline + 1, length));
          harness.received.erase(0, newline + 1 + length);
          if (!harness.running) continue;
          std::size_t index = *harness.running;
          harness.running.reset();
          finished(index, execution ? std::move(*execution)
                                    : Failed("the harness process of " +
                                             harness.slot->name +
                                             " sent an unreadable answer"));
          giveNext(harness);
          if (!harness.running) CloseFd(&harness.tasks);
        }
        continue;
      }
      // Its end: a test it was running fails with the reason.
      CloseFd(&harness.results);
      CloseFd(&harness.tasks);
      int status = Reap(harness.pid);
      harness.pid = -1;
      if (harness.running) {
        finished(
            *harness.running,
            Failed("the harness process of " + harness.slot->name +
                   " ended during the test (" + DescribeStatus(status) + ")"));
        harness.running.reset();
      }
    }
  }

  for (; next < tests.size(); ++next) {
    finished(next, Failed("not run: no harness process was left to run it"));
  }
  for (Harness& harness : running) {
    CloseFd(&harness.tasks);
    CloseFd(&harness.results);
    if (harness.pid > 0) Reap(harness.pid);
  }
  std::signal(SIGPIPE, previousPipe);
}

}  // namespace ostrivel::runner
