#ifndef OSTRIVEL_TESTING_TEST_PROCESS_H_
#define OSTRIVEL_TESTING_TEST_PROCESS_H_

// Test helpers for the tools: child processes (through the tools' one
// launcher) and a loopback HTTP client. Every wait is bounded, so a broken
// tool fails a test instead of hanging it, and waits on an event (output,
// the child's end), never on a clock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/process/child_process.h"

namespace ostrivel::tools::testing {

inline constexpr int kWaitMs = 20000;

// A child process with pipes on its standard input, output and error. The
// destructor kills a child that still runs and reaps it.
class ChildProcess {
 public:
  // Runs "argv[0]" (a path) with "argv" and this process's environment plus
  // "environment" ("NAME=VALUE" each, replacing a variable of that name).
  // Returns false when it cannot be started.
  bool Start(const std::vector<std::string>& argv,
             const std::vector<std::string>& environment = {});

  int pid() const { return process_.pid(); }

  // The next line of standard output without its LF, or nothing when the
  // output ends or "timeoutMs" pass first.
  std::optional<std::string> ReadLine(int timeoutMs = kWaitMs);
  // Standard error up to its end (or until "timeoutMs" pass).
  std::string ReadAllErrors(int timeoutMs = kWaitMs);

  bool Write(std::string_view text);
  void CloseInput() { process_.CloseInput(); }

  void Signal(int signal) { process_.Signal(signal); }
  // The wait status once the child has ended, or nothing when it still runs
  // after "timeoutMs" (it is then killed).
  std::optional<int> Wait(int timeoutMs = kWaitMs);

 private:
  process::ChildProcess process_;
  std::string pendingOutput_;
};

using process::ExitCode;

// A program run to its end: its exit code (-1 when it could not be started
// or did not end in time), standard output and standard error.
struct ProgramRun {
  int exitCode = -1;
  std::string output;
  std::string errors;
};

// Runs "argv" as ChildProcess::Start() does and waits for its end.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment = {});

struct HttpAnswer {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::size_t> contentLength;
  std::string body;

  // The first header of that name (compared without case), or nothing.
  std::optional<std::string> Header(std::string_view name) const;
};

// A blocking client on 127.0.0.1 that reads answers framed by
// Content-Length. Answers that arrive together are split correctly.
class HttpClient {
 public:
  HttpClient() = default;
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  bool Connect(std::uint16_t port);
  bool Send(std::string_view bytes);
  // The next answer, or nothing when the connection ends or the time passes.
  std::optional<HttpAnswer> Receive(int timeoutMs = kWaitMs);
  // True when the service closes the connection within "timeoutMs".
  bool WaitForClose(int timeoutMs = kWaitMs);

 private:
  // Appends what arrives within "timeoutMs"; false on end or time-out.
  bool Fill(int timeoutMs);

  int socket_ = -1;
  std::string buffer_;
};

// The request exactly as the coverage library sends it: absolute-form
// request line without a path, its four headers and "body".
std::string LibraryRequest(std::uint16_t port, std::string_view body);
// LibraryRequest() with the body {"action":"<action>"}.
std::string ActionRequest(std::uint16_t port, std::string_view action);

}  // namespace ostrivel::tools::testing

#endif  // OSTRIVEL_TESTING_TEST_PROCESS_H_
