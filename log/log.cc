#include "log/log.h"

#include <ctime>
#include <string_view>

#include "harness/state.h"
#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::log {
namespace {

std::string_view LevelWord(LogLevel level) {
  switch (level) {
    case LogLevel::Debug:
      return "DEBUG ";
    case LogLevel::Simple:
      return "SIMPLE";
    case LogLevel::Error:
      return "ERROR ";
  }
  return "      ";
}

}  // namespace

bool Admits(LogLevel level) {
  return harness::State().settings.log_level <= static_cast<int>(level);
}

void WriteLog(LogLevel level, std::string message) {
  if (!Admits(level)) return;
  try {
    std::string line;
    line.reserve(message.size() + 40);
    line += '[';
    line += GetTimestamp();
    line += LevelWord(level);
    line += "]  ";
    platform::AppendCrLf(message, &line);
    line += "\r\n";
    // A failure goes to standard error only: a line about the log in the
    // log it could not be written to would fail the same way.
    switch (
        platform::AppendToFile(harness::State().settings.log_location, line)) {
      case platform::AppendStatus::kWritten:
        break;
      case platform::AppendStatus::kOpenFailed:
        platform::Current().writeError("Unable to open log-file!\n");
        break;
      case platform::AppendStatus::kWriteFailed:
        platform::Current().writeError("Unable to write log-file!\n");
        break;
    }
  } catch (...) {
    // Out of memory while composing the line: the message is lost, the
    // caller goes on.
  }
}

void WriteLog(LogLevel level, const char* message) {
  if (!Admits(level)) return;
  WriteLog(level, std::string(message));
}

void WriteLog(LogLevel level, const std::ostringstream& stream) {
  if (!Admits(level)) return;
  WriteLog(level, stream.str());
}

std::string GetTimestamp() {
  std::time_t now = std::time(nullptr);
  // The library runs on one thread, so the shared result of localtime is
  // safe here and exists on every platform.
  const std::tm* local = std::localtime(&now);
  if (local == nullptr) return std::string();
  char buffer[100];
  std::size_t n =
      std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S, ", local);
  return std::string(buffer, n);
}

}  // namespace ostrivel::log
