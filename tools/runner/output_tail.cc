#include "tools/runner/output_tail.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <thread>

namespace ostrivel::runner {

OutputTail::OutputTail(std::size_t maxLines, std::size_t maxLineBytes)
    : maxLines_(maxLines), maxLineBytes_(maxLineBytes) {}

void OutputTail::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t end = bytes.find('\n');
    std::string_view part = bytes.substr(0, end);
    std::size_t room = maxLineBytes_ - current_.text.size();
    std::size_t kept = std::min(room, part.size());
    current_.text.append(part.substr(0, kept));
    current_.cut += part.size() - kept;
    inLine_ = true;
    if (end == std::string_view::npos) return;
    EndLine();
    bytes.remove_prefix(end + 1);
  }
}

void OutputTail::Finish() {
  if (inLine_) EndLine();
}

void OutputTail::EndLine() {
  if (maxLines_ == 0) {
    ++linesLeftOut_;
  } else {
    if (lines_.size() == maxLines_) {
      lines_.pop_front();
      ++linesLeftOut_;
    }
    lines_.push_back(std::move(current_));
  }
  current_ = Line{};
  inLine_ = false;
}

namespace {

void CloseDescriptor(int* descriptor) {
  if (*descriptor >= 0) ::close(*descriptor);
  *descriptor = -1;
}

// Reads "output" into "tail" until it ends or "stop" turns readable; then
// only what the pipe holds already, at most "drainLimit" bytes more, since
// a process left in the background may write on without end.
void ReadIntoTail(int output, int stop, OutputTail* tail) {
  constexpr std::size_t kDrainLimit = 1 << 20;
  char buffer[1 << 16];
  std::size_t drained = 0;
  bool stopping = false;
  for (;;) {
    pollfd ready[2] = {{output, POLLIN, 0}, {stop, POLLIN, 0}};
    int count = ::poll(ready, stopping ? 1 : 2, stopping ? 0 : -1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    if (!stopping && ready[1].revents != 0) stopping = true;
    if (ready[0].revents == 0) {
      if (stopping && count == 0) break;
      continue;
    }
    ssize_t got = ::read(output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    tail->Append(std::string_view(buffer, static_cast<std::size_t>(got)));
    if (stopping) {
      drained += static_cast<std::size_t>(got);
      if (drained >= kDrainLimit) break;
    }
  }
  tail->Finish();
}

}  // namespace

process::CommandResult RunCommandKeepingTail(
    const std::string& command, const process::CommandOptions& options,
    OutputTail* tail) {
  process::CommandResult result;
  int output[2] = {-1, -1};
  int stop[2] = {-1, -1};
  if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0) {
    result.error =
        std::string("no pipe for its output: ") + std::strerror(errno);
    for (int* descriptor : {&output[0], &output[1], &stop[0], &stop[1]}) {
      CloseDescriptor(descriptor);
    }
    return result;
  }
  process::LaunchOptions launch;
  launch.environment = options.environment;
  launch.input = process::Stream::kNull;
  launch.outputDescriptor = output[1];
  launch.ownGroup = true;

  std::optional<int> status;
  {
    process::ChildProcess child;
    result.started =
        child.Start({"/bin/sh", "-c", command}, launch, &result.error);
    // Only the child and what it starts hold the writing end now.
    CloseDescriptor(&output[1]);
    if (result.started) {
      std::thread reader(ReadIntoTail, output[0], stop[0], tail);
      status = child.Wait(options.timeoutMs > 0 ? options.timeoutMs : -1);
      if (!status) {
        result.timedOut = true;
        child.SignalGroup(SIGKILL);
        status = child.Wait(-1);
      }
      char wake = 1;
      while (::write(stop[1], &wake, 1) < 0 && errno == EINTR) {
      }
      reader.join();
    }
  }
  for (int* descriptor : {&output[0], &stop[0], &stop[1]}) {
    CloseDescriptor(descriptor);
  }
  if (status) {
    result.exitCode = process::ExitCode(*status);
    result.signal = process::TerminatingSignal(*status);
  }
  return result;
}

}  // namespace ostrivel::runner
