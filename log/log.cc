#include "log/log.h"

#include <charconv>
#include <ctime>

#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::log {
namespace {

// Constant-initialised: a message logged before any settings are handed
// over is dropped instead of read through a pointer not yet set.
const Settings* current = nullptr;

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

void UseSettings(const Settings* settings) { current = settings; }

bool Admits(LogLevel level) {
  return current != nullptr && current->log_level <= static_cast<int>(level);
}

namespace internal {

void Piece::SetNumber(std::int64_t value) {
  size_ = static_cast<std::size_t>(
      std::to_chars(digits_, digits_ + sizeof(digits_), value).ptr - digits_);
}

void Piece::SetNumber(std::uint64_t value) {
  size_ = static_cast<std::size_t>(
      std::to_chars(digits_, digits_ + sizeof(digits_), value).ptr - digits_);
}

void WriteLine(LogLevel level, std::initializer_list<Piece> pieces) noexcept {
  try {
    std::size_t size = 40;
    for (const Piece& piece : pieces) size += piece.view().size();
    std::string line;
    line.reserve(size);
    line += '[';
    line += GetTimestamp();
    line += LevelWord(level);
    line += "]  ";
    for (const Piece& piece : pieces) platform::AppendCrLf(piece.view(), &line);
    line += "\r\n";
    // A failure goes to standard error only: a line about the log in the
    // log it could not be written to would fail the same way.
    switch (platform::AppendToFile(current->log_location, line)) {
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

}  // namespace internal

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
