#ifndef OSTRIVEL_TOOLS_COLLECTION_SERVICE_SERVICE_LOG_H_
#define OSTRIVEL_TOOLS_COLLECTION_SERVICE_SERVICE_LOG_H_

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace ostrivel::collection {

// Local time as "YYYY.MM.DD HH:MM:SS.mmm", the form the library reads from
// the "timestamp" of an answer.
std::string FormatTimestamp(std::chrono::system_clock::time_point time);

// The time of an answer: the wall-clock time when the clock is made,
// advanced by the monotonic clock from then on, so that the timestamps of one
// service never go back (a test's runtime is their difference) even when
// the system clock is set meanwhile. Thread-safe.
class AnswerClock {
 public:
  using WallClock = std::function<std::chrono::system_clock::time_point()>;
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

  // Reads "wall" and "steady" once each, and "steady" at every Now().
  explicit AnswerClock(const WallClock& wall = std::chrono::system_clock::now,
                       SteadyClock steady = std::chrono::steady_clock::now);

  std::chrono::system_clock::time_point Now() const;

 private:
  SteadyClock steady_;
  std::chrono::system_clock::time_point wallAnchor_;
  std::chrono::steady_clock::time_point steadyAnchor_;
};

// Now() of the service's one AnswerClock, made at the first call.
std::chrono::system_clock::time_point AnswerClockNow();

// The service's log: one line per event, "<timestamp> <level> <message>",
// flushed at once. The message goes through tools::Printable(), so that no
// request can write a line of its own. Never throws. Safe to use from
// several threads.
class ServiceLog {
 public:
  // Writes to standard error.
  ServiceLog();
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Appends to "path" from now on. Returns false when it cannot be opened;
  // the log then stays where it was.
  bool OpenFile(const std::string& path);
  // Writes nowhere from now on (tests).
  void Silence();

  void Info(std::string_view message) { Write("info", message); }
  void Error(std::string_view message) { Write("error", message); }

 private:
  void Write(std::string_view level, std::string_view message);

  std::mutex mutex_;
  std::FILE* file_;
  bool owned_ = false;
};

}  // namespace ostrivel::collection

#endif  // OSTRIVEL_TOOLS_COLLECTION_SERVICE_SERVICE_LOG_H_
