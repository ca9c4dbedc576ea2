#include "testing/started_service.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace ostrivel::tools::testing {

namespace {

constexpr const char* kReadyPrefix = "ostrivel-service listening on ";
constexpr const char* kFirstSlotReadyPrefix = "slot 0 listening on ";
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr int kStopLimitMs = 10000;

}  // namespace

StartedService::StartedService(const std::string& program,
                               const std::string& methodsDirectory,
                               const std::string& channel,
                               const std::string& logPath,
                               const std::vector<std::string>& extraArguments) {
  process::LaunchOptions options;
  options.output = process::Stream::kPipe;
  std::string error;
  std::vector<std::string> argv = {
      program,          "--host",    "127.0.0.1", "--port", "0",    "--methods",
      methodsDirectory, "--channel", channel,     "--log",  logPath};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  if (!service_.Start(argv, options, &error)) {
    startOutput_ = "cannot start " + program + ": " + error;
    return;
  }

  // The first line either names the port or says why the service gave up;
  // each wait is for output (or its end), never for a fixed time.
  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  for (;;) {
    std::size_t lineEnd = startOutput_.find('\n');
    if (lineEnd != std::string::npos) {
      std::string line = startOutput_.substr(0, lineEnd);
      std::size_t colon = line.rfind(':');
      bool ready = line.rfind(kReadyPrefix, 0) == 0 ||
                   line.rfind(kFirstSlotReadyPrefix, 0) == 0;
      if (ready && colon != std::string::npos) {
        port_ = std::atoi(line.c_str() + colon + 1);
      }
      return;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd wait = {service_.output(), POLLIN, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    char buffer[256];
    ssize_t got = ::read(service_.output(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;  // the service ended before it was ready
    startOutput_.append(buffer, static_cast<std::size_t>(got));
  }
}

StartedService::~StartedService() {
  service_.Signal(SIGTERM);
  if (!service_.Wait(kStopLimitMs)) {
    service_.Signal(SIGKILL);
    service_.Wait(-1);
  }
}

std::string UniqueChannel(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter++);
}

}  // namespace ostrivel::tools::testing
