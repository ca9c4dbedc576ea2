#include "tools/runner/private_run.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/operations.h"
#include "tools/printable/printable.h"
#include "tools/runner/gtest_tests.h"

namespace ostrivel::runner {

using process::ShellQuoted;

namespace {

namespace fs = std::filesystem;
using tools::Printable;

constexpr const char* kReadyPrefix = "ostrivel-service listening on ";
constexpr const char* kProfileFilePrefix =
    "run the program with LLVM_PROFILE_FILE=";
constexpr auto kServiceStartLimit = std::chrono::seconds(30);
constexpr int kServiceStopLimitMs = 10000;
constexpr int kConnectLimitMs = 2000;

// The service of the run, for the signal handler: a runner stopped by a
// signal must not leave it running. Ctrl-C reaches it anyway (one process
// group); SIGTERM or SIGHUP sent to the runner alone would not.
volatile sig_atomic_t gServicePid = 0;

extern "C" void StopServiceAndDie(int signal) {
  if (gServicePid > 0) ::kill(static_cast<pid_t>(gServicePid), SIGTERM);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void InstallStopHandlers() {
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction action = {};
    action.sa_handler = StopServiceAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

// What a tool printed, indented under the runner's own lines.
void ShowToolOutput(const std::string& output, std::ostream& out) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) out << "  " << Printable(line) << "\n";
}

// The service reports every application of its methods directory: the
// lists of an earlier run's programs would add rows of their own. Only
// what the library and the service would load goes, with the build IDs
// beside it.
void RemoveMethodLists(const fs::path& folder, std::error_code* error) {
  std::vector<fs::path> lists;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(folder, *error)) {
    std::string name = entry.path().filename().string();
    bool list =
        name.size() >= 3 && name.compare(name.size() - 3, 3, "csv") == 0;
    bool buildId =
        name.size() > 9 && name.compare(name.size() - 9, 9, ".build-id") == 0;
    if ((list || buildId) && !entry.is_directory()) lists.push_back(entry);
  }
  for (const fs::path& list : lists) fs::remove(list, *error);
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace

std::string FindTool(const std::string& name, const std::string& buildFolder) {
  std::error_code error;
  fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    fs::path folder = program.parent_path();
    for (const fs::path& candidate :
         {folder / name, folder / ".." / buildFolder / name}) {
      if (fs::is_regular_file(candidate, error) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate.lexically_normal().string();
      }
    }
  }
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    fs::path candidate = fs::path(folder.empty() ? "." : folder) / name;
    if (fs::is_regular_file(candidate, error) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return Absolute(candidate.string());
    }
  }
  return "";
}

bool ServiceAnswers(const std::string& host, int port) {
  if (port <= 0 || port > 65535) return false;
  const platform::Operations& ops = platform::Current();
  std::optional<platform::Ipv4Address> address = ops.resolve(host);
  if (!address) return false;
  platform::Socket socket = ops.openSocket();
  if (socket == platform::kNoSocket) return false;
  bool answered = ops.connect(
      socket, *address, static_cast<std::uint16_t>(port), kConnectLimitMs);
  ops.closeSocket(socket);
  return answered;
}

std::string PrivateChannel() { return "run" + std::to_string(::getpid()); }

PrivateRun::~PrivateRun() { Stop(); }

void PrivateRun::Stop() {
  if (!running_) return;
  running_ = false;
  service_.Signal(SIGTERM);
  if (!service_.Wait(kServiceStopLimitMs)) {
    service_.Signal(SIGKILL);
    service_.Wait(-1);
  }
  gServicePid = 0;
}

bool PrivateRun::Start(const PrivateRunOptions& options, std::ostream& out,
                       std::string* error) {
  std::string methodsTool = FindTool("ostrivel-methods", "methods");
  std::string serviceTool = FindTool("ostrivel-service", "collection_service");
  if (methodsTool.empty() || serviceTool.empty()) {
    *error = std::string("cannot find ") +
             (methodsTool.empty() ? "ostrivel-methods" : "ostrivel-service") +
             " beside ostrivel-run or on the PATH";
    return false;
  }

  fs::path folder = Absolute(options.outputDirectory);
  fs::path methods = folder / "methods";
  std::error_code fsError;
  fs::create_directories(methods, fsError);
  if (!fsError) fs::create_directories(folder / "traces", fsError);
  if (!fsError) RemoveMethodLists(methods, &fsError);
  if (fsError || !fs::is_directory(methods)) {
    *error = "cannot create the output directory \"" + folder.string() +
             "\": " + fsError.message();
    return false;
  }
  out << "Output directory: " << Printable(folder.string()) << "\n";

  // The application name is the list's content; its file name only has to
  // stay inside the folder.
  std::string fileName = options.application + ".csv";
  for (char& c : fileName) {
    if (c == '/' || c == '\\') c = '_';
  }
  std::string list = (methods / fileName).string();
  std::string command =
      ShellQuoted(methodsTool) + " --binary " + ShellQuoted(options.program) +
      " --application " + ShellQuoted(options.application) + " --output " +
      ShellQuoted(list) + " --channel " + ShellQuoted(options.channel);
  for (const std::string& argument : options.methodsArguments) {
    command += " " + ShellQuoted(argument);
  }
  process::CommandOptions commandOptions;
  commandOptions.timeoutMs = 600 * 1000;
  process::CommandResult listed = process::RunCommand(command, commandOptions);
  ShowToolOutput(listed.output, out);
  if (!listed.Passed()) {
    *error = "ostrivel-methods could not write the method list of \"" +
             options.program + "\" (" + listed.Describe() + ")";
    return false;
  }

  // The clang route's list comes with the profile file its programs must
  // write; a list of the probe's route needs the list and the channel.
  std::size_t profile = listed.output.find(kProfileFilePrefix);
  if (profile != std::string::npos) {
    std::size_t begin = profile + std::string(kProfileFilePrefix).size();
    std::size_t end = listed.output.find('\n', begin);
    environment_ = {{"LLVM_PROFILE_FILE",  // up to the line's end
                     listed.output.substr(begin, end == std::string::npos
                                                     ? std::string::npos
                                                     : end - begin)}};
  } else {
    environment_ = {{"OSTRIVEL_METHOD_LIST", list},
                    {"OSTRIVEL_CHANNEL", options.channel}};
  }

  std::string serviceLog = (folder / "service.log").string();
  if (!StartService(serviceTool, methods.string() + "/", options.channel,
                    serviceLog, options.slots, (folder / "ports").string(),
                    error)) {
    return false;
  }
  out << "Collection service: 127.0.0.1:" << port_ << ", channel "
      << Printable(options.channel) << ", log " << Printable(serviceLog)
      << "\n";

  configPath_ = (folder / "ostrivel.conf").string();
  std::ofstream config(configPath_, std::ios::binary | std::ios::trunc);
  config << "base_location: " << (folder / "traces").string() << "/\n"
         << "log_location: " << (folder / "log.txt").string() << "\n"
         << "res_location: " << (folder / "result.csv").string() << "\n"
         << "methods_location: " << methods.string() << "/\n"
         << "host_name: 127.0.0.1\n"
         << "port: " << port_ << "\n";
  config.close();
  if (!config) {
    *error = "cannot write \"" + configPath_ + "\"";
    Stop();
    return false;
  }
  return true;
}

bool PrivateRun::StartService(const std::string& program,
                              const std::string& methods,
                              const std::string& channel,
                              const std::string& log, int slots,
                              const std::string& portsFile,
                              std::string* error) {
  process::LaunchOptions launch;
  launch.input = process::Stream::kNull;
  launch.output = process::Stream::kPipe;
  // Why it gave up, and anything it has to say later, goes where the
  // runner's own messages go.
  launch.errors = process::Stream::kInherit;
  std::string startError;
  InstallStopHandlers();
  std::vector<std::string> arguments = {
      program, "--host",    "127.0.0.1", "--port", "0", "--methods",
      methods, "--channel", channel,     "--log",  log};
  if (slots > 1) {
    arguments.insert(arguments.end(), {"--slots", std::to_string(slots),
                                       "--ports-file", portsFile});
  }
  if (!service_.Start(arguments, launch, &startError)) {
    *error = "the collection service did not start: " + startError;
    return false;
  }
  running_ = true;
  gServicePid = service_.pid();

  // The first line names the port; each wait is for output or its end.
  std::string output;
  auto deadline = std::chrono::steady_clock::now() + kServiceStartLimit;
  while (output.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd wait = {service_.output(), POLLIN, 0};
    int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[512];
    ssize_t got = ::read(service_.output(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // it ended before it was ready
    output.append(buffer, static_cast<std::size_t>(got));
  }

  // With slots, the ports file is whole before the first line is printed.
  std::string line = output.substr(0, output.find('\n'));
  std::size_t colon = line.rfind(':');
  std::string portsError;
  if (slots > 1) {
    if (output.find('\n') != std::string::npos &&
        slots::ReadPortsFile(portsFile, &slots_, &portsError) &&
        static_cast<int>(slots_.size()) == slots) {
      port_ = slots_.front().port;
    }
  } else if (line.rfind(kReadyPrefix, 0) == 0 && colon != std::string::npos) {
    port_ = std::atoi(line.c_str() + colon + 1);
    slots_ = {slots::Slot{0, "127.0.0.1", port_}};
  }
  if (port_ > 0) return true;

  Stop();
  *error = "the collection service \"" + program + "\" did not start" +
           (line.empty() ? std::string(" (its messages, if any, are above)")
                         : ": " + line);
  return false;
}

}  // namespace ostrivel::runner
