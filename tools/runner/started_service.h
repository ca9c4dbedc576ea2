#ifndef OSTRIVEL_RUNNER_STARTED_SERVICE_H_
#define OSTRIVEL_RUNNER_STARTED_SERVICE_H_

#include <sys/types.h>

#include <string>

// For tests: an ostrivel-service child process on 127.0.0.1 and a free port.

namespace ostrivel::runner {

class StartedService {
 public:
  // Starts "program" with --port 0, the methods directory "methodsDirectory"
  // and the counter channel "channel", its log going to "logPath", and waits
  // up to 20 s for its "listening on" line. ok() tells whether it came up.
  StartedService(const std::string& program,
                 const std::string& methodsDirectory,
                 const std::string& channel, const std::string& logPath);
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
  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
  std::string startOutput_;
};

// A counter channel no other test uses at the same time.
std::string UniqueChannel(const std::string& prefix);

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_STARTED_SERVICE_H_
