#include "tools/runner/started_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace ostrivel::runner {

namespace {

constexpr const char* kReadyPrefix = "ostrivel-service listening on ";
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(10);

}  // namespace

StartedService::StartedService(const std::string& program,
                               const std::string& methodsDirectory,
                               const std::string& channel,
                               const std::string& logPath) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  std::vector<std::string> arguments = {
      program,          "--host",    "127.0.0.1", "--port", "0",    "--methods",
      methodsDirectory, "--channel", channel,     "--log",  logPath};
  std::vector<char*> pointers;
  pointers.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  int error = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                            pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  output_ = pipeEnds[0];
  if (error != 0) {
    pid_ = -1;
    startOutput_ = "cannot start " + program;
    return;
  }

  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::size_t lineEnd = startOutput_.find('\n');
    if (lineEnd != std::string::npos) {
      std::string line = startOutput_.substr(0, lineEnd);
      std::size_t colon = line.rfind(':');
      if (line.rfind(kReadyPrefix, 0) == 0 && colon != std::string::npos) {
        port_ = std::atoi(line.c_str() + colon + 1);
      }
      return;
    }
    pollfd wait = {output_, POLLIN, 0};
    int ready = ::poll(&wait, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    char buffer[256];
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // the service ended before it was ready
    startOutput_.append(buffer, static_cast<std::size_t>(got));
  }
}

StartedService::~StartedService() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (output_ >= 0) ::close(output_);
}

std::string UniqueChannel(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter++);
}

}  // namespace ostrivel::runner
