#ifndef OSTRIVEL_RUNNER_OUTPUT_TAIL_H_
#define OSTRIVEL_RUNNER_OUTPUT_TAIL_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "tools/process/child_process.h"

namespace ostrivel::runner {

// The last lines of a stream of output, in bounded memory: at most
// "maxLines" lines, each cut after "maxLineBytes" bytes, whatever the
// stream's size and however long its lines.
class OutputTail {
 public:
  struct Line {
    std::string text;       // the line's first bytes, without its LF
    std::uint64_t cut = 0;  // the bytes of the line not kept
  };

  OutputTail(std::size_t maxLines, std::size_t maxLineBytes);

  // Adds the next bytes of the stream.
  void Append(std::string_view bytes);
  // Ends the stream: a last line without LF counts as a line.
  void Finish();

  // The kept lines, oldest first.
  const std::deque<Line>& lines() const { return lines_; }
  // The number of lines before them that were not kept.
  std::uint64_t linesLeftOut() const { return linesLeftOut_; }

 private:
  void EndLine();

  std::size_t maxLines_;
  std::size_t maxLineBytes_;
  std::deque<Line> lines_;
  std::uint64_t linesLeftOut_ = 0;
  Line current_;
  bool inLine_ = false;
};

// Runs "command" like process::RunCommand() with its standard output and
// error read through a pipe into "*tail" while it runs, so that the runner
// never holds more than the tail of what it writes. "options.captureOutput"
// is ignored. After the command has ended (or was killed at its time
// limit), what is already in the pipe is read; a process it left running
// in the background may keep writing, and that is not waited for.
process::CommandResult RunCommandKeepingTail(
    const std::string& command, const process::CommandOptions& options,
    OutputTail* tail);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_OUTPUT_TAIL_H_
