#include "tools/probe/warnings.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/printable/printable.h"
#include "tools/probe/attachments.h"

#define OSTRIVEL_NO_INSTRUMENT __attribute__((no_instrument_function))

namespace ostrivel::probe {

OSTRIVEL_NO_INSTRUMENT void WarnCountingOff(const std::string& reason) {
  std::string line =
      "ostrivel-probe: automatic counting is off: " + tools::Printable(reason) +
      "\n";
  WriteWarning(line.c_str());
  const char* path = std::getenv("OSTRIVEL_PROBE_WARNINGS");
  if (path == nullptr || *path == '\0') return;
  // One write of the whole line with O_APPEND: the lines of processes that
  // start together do not interleave.
  int file = ::open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) return;
  ssize_t written = -1;
  do {
    written = ::write(file, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  ::close(file);
}

}  // namespace ostrivel::probe
