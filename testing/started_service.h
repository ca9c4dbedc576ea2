#ifndef OSTRIVEL_TESTING_STARTED_SERVICE_H_
#define OSTRIVEL_TESTING_STARTED_SERVICE_H_

// For tests: an ostrivel-service child process on 127.0.0.1 and a free port.

#include <string>
#include <vector>

#include "tools/process/child_process.h"

namespace ostrivel::tools::testing {

class StartedService {
 public:
  // Starts "program" with --port 0, the methods directory "methodsDirectory"
  // and the counter channel "channel", its log going to "logPath", and waits
  // up to 20 s for its "listening on" line. ok() tells whether it came up.
  // "extraArguments" go after those; with --slots N the wait is for slot
  // 0's line, which comes after the --ports-file is written, and port() is
  // slot 0's.
  StartedService(const std::string& program,
                 const std::string& methodsDirectory,
                 const std::string& channel, const std::string& logPath,
                 const std::vector<std::string>& extraArguments = {});
  // Stops the service with SIGTERM (SIGKILL after 10 s) and reaps it.
  ~StartedService();
  StartedService(const StartedService&) = delete;
  StartedService& operator=(const StartedService&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // What the service printed on standard output before it was ready (or
  // before it gave up).
  const std::string& startOutput() const { return startOutput_; }

 private:
  process::ChildProcess service_;
  int port_ = 0;
  std::string startOutput_;
};

// A counter channel no other test uses at the same time.
std::string UniqueChannel(const std::string& prefix);

}  // namespace ostrivel::tools::testing

#endif  // OSTRIVEL_TESTING_STARTED_SERVICE_H_
