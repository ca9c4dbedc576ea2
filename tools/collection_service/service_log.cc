#include "tools/collection_service/service_log.h"

#include <time.h>

#include <cstdio>
#include <utility>

#include "tools/printable/printable.h"

namespace ostrivel::collection {
std::string FormatTimestamp(std::chrono::system_clock::time_point time) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch());
  auto seconds = static_cast<time_t>(sinceEpoch.count() / 1000);
  auto millis = static_cast<int>(sinceEpoch.count() % 1000);
  if (millis < 0) {  // before 1970: floor, not truncate
    millis += 1000;
    --seconds;
  }
  struct tm local {};
  ::localtime_r(&seconds, &local);
  char text[48];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d.%03d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, millis);
  return text;
}

AnswerClock::AnswerClock(const WallClock& wall, SteadyClock steady)
    : steady_(std::move(steady)),
      wallAnchor_(wall()),
      steadyAnchor_(steady_()) {}

std::chrono::system_clock::time_point AnswerClock::Now() const {
  return wallAnchor_ +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             steady_() - steadyAnchor_);
}

std::chrono::system_clock::time_point AnswerClockNow() {
  static const AnswerClock clock;
  return clock.Now();
}

ServiceLog::ServiceLog() : file_(stderr) {}

ServiceLog::~ServiceLog() {
  if (owned_) std::fclose(file_);
}

bool ServiceLog::OpenFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (owned_) std::fclose(file_);
  file_ = file;
  owned_ = true;
  return true;
}

void ServiceLog::Silence() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (owned_) std::fclose(file_);
  file_ = nullptr;
  owned_ = false;
}

void ServiceLog::Write(std::string_view level, std::string_view message) {
  std::string line = FormatTimestamp(std::chrono::system_clock::now());
  line += ' ';
  line += level;
  line += ' ';
  line += tools::Printable(message);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace ostrivel::collection
