#ifndef OSTRIVEL_RUNNER_PRIVATE_RUN_H_
#define OSTRIVEL_RUNNER_PRIVATE_RUN_H_

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/process/child_process.h"
#include "tools/slots/slots.h"

// A run of ostrivel-run that needs no configuration: its own output
// directory, method list, configuration file and collection service, the
// service stopped when the run ends.

namespace ostrivel::runner {

// The path of the program "name": beside the running program, else in
// "../<buildFolder>/" of its folder (the build tree: tools/runner/ ->
// tools/<buildFolder>/), else the first in PATH. Empty when none exists.
std::string FindTool(const std::string& name, const std::string& buildFolder);

// True when something accepts a connection at "host":"port" within two
// seconds.
bool ServiceAnswers(const std::string& host, int port);

// The counter channel of this process's private run: "run<pid>", which no
// other run uses at the same time.
std::string PrivateChannel();

struct PrivateRunOptions {
  std::string program;          // the program under test, an existing file
  std::string application;      // the application name of its method list
  std::string outputDirectory;  // created when missing
  // Passed on to ostrivel-methods ("--include", "RE", ...).
  std::vector<std::string> methodsArguments;
  // The channel of the service and of the programs' counters.
  std::string channel;
  // The service's slots, one per test that runs at the same time.
  int slots = 1;
};

class PrivateRun {
 public:
  PrivateRun() = default;
  // Stops the service, as Stop() does.
  ~PrivateRun();
  PrivateRun(const PrivateRun&) = delete;
  PrivateRun& operator=(const PrivateRun&) = delete;

  // In the output directory: empties "methods/", writes the program's
  // method list there with ostrivel-methods, starts ostrivel-service on a
  // free loopback port over it, and writes "ostrivel.conf" with every
  // location inside the directory. What the tools print goes to "out".
  // Returns false, with the whole message in "*error", when any step
  // fails; a service already started is stopped again.
  bool Start(const PrivateRunOptions& options, std::ostream& out,
             std::string* error);

  // Stops the service (SIGTERM, SIGKILL after ten seconds) and waits for
  // it. Nothing happens when none runs.
  void Stop();

  const std::string& configPath() const { return configPath_; }
  int port() const { return port_; }
  // Where the service's slots listen; the first is port().
  const std::vector<slots::Slot>& slots() const { return slots_; }
  // The variables the programs under test need to count: the probe's
  // OSTRIVEL_METHOD_LIST and OSTRIVEL_CHANNEL, or the clang route's
  // LLVM_PROFILE_FILE.
  const std::vector<std::pair<std::string, std::string>>& environment() const {
    return environment_;
  }

 private:
  bool StartService(const std::string& program, const std::string& methods,
                    const std::string& channel, const std::string& log,
                    int slots, const std::string& portsFile,
                    std::string* error);

  process::ChildProcess service_;
  bool running_ = false;
  int port_ = 0;
  std::vector<slots::Slot> slots_;
  std::string configPath_;
  std::vector<std::pair<std::string, std::string>> environment_;
};

}  // namespace ostrivel::runner

#endif  // OSTRIVEL_RUNNER_PRIVATE_RUN_H_
