#ifndef OSTRIVEL_LOG_LOG_H_
#define OSTRIVEL_LOG_LOG_H_

#include <sstream>
#include <string>

namespace ostrivel::log {

// Message levels; a higher number is more severe. A message is written when
// its level is at least the configured threshold "log_level".
enum class LogLevel : int {
  Debug = 0,
  Simple = 1,
  Error = 2,
};

// True when a message of "level" passes the threshold in force.
bool Admits(LogLevel level);

// Appends one line "[<timestamp><LEVEL >]  <message>" and CR LF to the file
// at "log_location" in one write, opening and closing it for this line. A
// message below the threshold touches nothing. When the file cannot be
// opened (also when it is a FIFO, a socket or a directory), "Unable to open
// log-file!" goes to standard error; when the write or the close fails,
// "Unable to write log-file!"; either way the message is lost, and what a
// failed write left of it is cut off again where no other writer appended
// behind it. Never fails toward the caller.
void WriteLog(LogLevel level, std::string message);
// As above; the text is only built when the message passes the threshold.
void WriteLog(LogLevel level, const char* message);
// As above, with the whole text of "stream", which is not changed.
void WriteLog(LogLevel level, const std::ostringstream& stream);

// The current local time as "YYYY-MM-DD HH:MM:SS, ".
std::string GetTimestamp();

}  // namespace ostrivel::log

#endif  // OSTRIVEL_LOG_LOG_H_
