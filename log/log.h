#ifndef OSTRIVEL_LOG_LOG_H_
#define OSTRIVEL_LOG_LOG_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ostrivel::log {

// Message levels; a higher number is more severe. A message is written when
// its level is at least the threshold "log_level".
enum class LogLevel : int {
  Debug = 0,
  Simple = 1,
  Error = 2,
};

// Where the log goes and which messages it admits. The names follow the
// configuration keys.
struct Settings {
  std::string log_location;
  std::int32_t log_level = static_cast<std::int32_t>(LogLevel::Simple);
};

// Makes "*settings" the settings of every later message; nullptr turns the
// log off. They are read anew for each message, so a change takes effect
// with the next one. "*settings" must outlive its use.
// REQUIRES: External synchronization
void UseSettings(const Settings* settings);

// True when a message of "level" passes the threshold in force.
bool Admits(LogLevel level);

namespace internal {

// An integer that a message shows as a number; a char or a bool is not one.
template <typename T>
concept Number =
    std::integral<T> && !std::same_as<T, char> && !std::same_as<T, bool>;

// One piece of a message: a text, or an integer written in decimal.
class Piece {
 public:
  Piece(std::string_view text) : text_(text) {}    // NOLINT: implicit
  Piece(const std::string& text) : text_(text) {}  // NOLINT: implicit
  // A null pointer is an empty text.
  Piece(const char* text)  // NOLINT: implicit
      : text_(text == nullptr ? std::string_view() : std::string_view(text)) {}
  template <Number Integer>
  Piece(Integer value) : isNumber_(true) {  // NOLINT: implicit
    if constexpr (std::signed_integral<Integer>) {
      SetNumber(static_cast<std::int64_t>(value));
    } else {
      SetNumber(static_cast<std::uint64_t>(value));
    }
  }

  std::string_view view() const {
    return isNumber_ ? std::string_view(digits_, size_) : text_;
  }

 private:
  void SetNumber(std::int64_t value);
  void SetNumber(std::uint64_t value);

  std::string_view text_;
  bool isNumber_ = false;
  std::size_t size_ = 0;
  char digits_[24];
};

// Writes one line made of "pieces". Assumes the level was admitted.
void WriteLine(LogLevel level, std::initializer_list<Piece> pieces) noexcept;

}  // namespace internal

// Appends one line "[<timestamp><LEVEL >]  <pieces>" and CR LF to the file
// at "log_location" in one write, opening and closing it for this line.
// Each piece is a text or an integer; they are joined without separators,
// and only when the message passes the threshold: a message below it
// touches nothing and allocates nothing. When the file cannot be opened
// (also when it is a FIFO, a socket or a directory), "Unable to open
// log-file!" goes to standard error; when the write or the close fails,
// "Unable to write log-file!"; either way the message is lost, and what a
// failed write left of it is cut off again where no other writer appended
// behind it. Never fails toward the caller.
template <typename... Pieces>
void WriteLog(LogLevel level, const Pieces&... pieces) noexcept {
  if (!Admits(level)) return;
  internal::WriteLine(level, {internal::Piece(pieces)...});
}

// The current local time as "YYYY-MM-DD HH:MM:SS, ".
std::string GetTimestamp();

}  // namespace ostrivel::log

#endif  // OSTRIVEL_LOG_LOG_H_
