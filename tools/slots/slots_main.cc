// ostrivel-slot [--ports-file FILE] [--wait SECONDS] -- COMMAND [ARGS...]
//
// Runs COMMAND on a free slot of a collection service started with
// --slots N --ports-file FILE, so that test processes started side by side
// (ctest -j, GoogleTest shards) never count into each other's tests. The
// probe reads its channel once when a program loads and clang's profile
// runtime cannot move its file later, so the slot has to be chosen before
// the command starts: this launcher claims one, holds it for the command's
// whole life and gives the command the slot's environment and a
// configuration that names the slot's port.
//
// A slot is claimed by an exclusive flock() on "FILE.<i>.lock". The kernel
// drops the lock when this process ends however it ends, so a crashed run
// never leaves a slot taken; the command is killed when this process dies,
// so a slot handed on is never still counted into by an orphan.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "formats/config_format.h"
#include "formats/defaults.h"
#include "formats/result_format.h"
#include "tools/printable/printable.h"
#include "tools/slots/slots.h"

namespace {

using ostrivel::tools::Printable;
namespace slots = ostrivel::slots;

// The exit codes of the launcher itself; any other code is the command's.
constexpr int kExitNoFreeSlot = 124;
constexpr int kExitLauncherFailed = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;

constexpr double kDefaultWaitSeconds = 600;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

constexpr const char* kUsage =
    "usage: ostrivel-slot [--ports-file FILE] [--wait SECONDS] -- COMMAND "
    "[ARGS...]\n"
    "Runs COMMAND on a free slot of the collection service whose ports file\n"
    "is FILE (default: $OSTRIVEL_SLOTS), waiting at most SECONDS (default:\n"
    "$OSTRIVEL_SLOT_WAIT, else 600) for one. Exit codes: COMMAND's own,\n"
    "128+N when signal N ended it, 124 when no slot became free in time,\n"
    "125 when the launcher failed, 126/127 when COMMAND cannot be run.\n";

const int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t child = 0;
volatile sig_atomic_t pendingSignal = 0;

void Forward(int signal) {
  pendingSignal = signal;
  pid_t pid = child;
  if (pid > 0) ::kill(pid, signal);
}

std::string Quoted(const std::string& text) {
  std::ostringstream quoted;
  quoted << '"' << Printable(text) << '"';
  return quoted.str();
}

int Fail(const std::string& message, int code = kExitLauncherFailed) {
  std::cerr << "ostrivel-slot: " << message << "\n";
  return code;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

struct Options {
  std::string portsFile;
  double waitSeconds = kDefaultWaitSeconds;
  std::vector<std::string> command;
};

// A number of seconds, 0 or more, or nothing.
std::optional<double> Seconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value) || value < 0) return std::nullopt;
  return value;
}

// Returns the exit code to end with when the arguments do not allow a run
// (0 for --help), or nothing.
std::optional<int> ParseArguments(int argc, char** argv, Options* options) {
  options->portsFile = Environment("OSTRIVEL_SLOTS");
  std::string wait = Environment("OSTRIVEL_SLOT_WAIT");
  std::string waitSource = "OSTRIVEL_SLOT_WAIT";
  int i = 1;
  for (; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--ports-file" || argument == "--wait") {
      if (i + 1 == argc) {
        return Fail(argument + " needs a value\n" + kUsage);
      }
      (argument == "--wait" ? wait : options->portsFile) = argv[++i];
      if (argument == "--wait") waitSource = "--wait";
      continue;
    }
    if (argument.rfind('-', 0) == 0) {
      return Fail("unknown option " + Quoted(argument) + "\n" + kUsage);
    }
    break;  // the command, without "--" before it
  }
  options->command.assign(argv + i, argv + argc);
  if (options->command.empty())
    return Fail(std::string("no command given\n") + kUsage);
  if (options->portsFile.empty()) {
    return Fail("no ports file given (--ports-file FILE or OSTRIVEL_SLOTS)");
  }
  if (!wait.empty()) {
    std::optional<double> seconds = Seconds(wait);
    if (!seconds) {
      return Fail(waitSource +
                  ": must be a number of seconds, 0 or more, not " +
                  Quoted(wait));
    }
    options->waitSeconds = *seconds;
  }
  return std::nullopt;
}

// Tries each slot once. Returns the index of the claimed slot and its
// locked descriptor in "*lock", -1 when every slot is taken, or -2 after a
// message when a lock file cannot be opened.
int TryClaim(const std::string& portsFile, int slotCount, int* lock) {
  for (int i = 0; i < slotCount; ++i) {
    std::string path = portsFile + "." + std::to_string(i) + ".lock";
    int descriptor =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) {
      Fail("cannot open the lock file " + Quoted(path) + ": " +
           std::strerror(errno));
      return -2;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      *lock = descriptor;
      return i;
    }
    int error = errno;
    ::close(descriptor);
    if (error != EWOULDBLOCK) {
      Fail("cannot lock " + Quoted(path) + ": " + std::strerror(error));
      return -2;
    }
  }
  return -1;
}

std::string FormatSeconds(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

// Creates the result file with its header line when it is missing, so
// that the libraries of parallel processes, each of which writes the header
// into a file it found missing, never write two. The header goes into a
// private file first, which is then linked to the name: either this
// process's file or another's wins, whole.
void EnsureResultHeader(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return;
  std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
  int descriptor =
      ::open(temporary.c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    Fail("cannot create the result file " + Quoted(path) + ": " +
         std::strerror(errno) + "; the library will try again");
    return;
  }
  std::string header(ostrivel::formats::kResultHeader);
  header += "\r\n";
  bool written = ::write(descriptor, header.data(), header.size()) ==
                 static_cast<ssize_t>(header.size());
  bool closed = ::close(descriptor) == 0;
  if (written && closed && ::link(temporary.c_str(), path.c_str()) != 0 &&
      errno != EEXIST) {
    Fail("cannot create the result file " + Quoted(path) + ": " +
         std::strerror(errno) + "; the library will try again");
  }
  ::unlink(temporary.c_str());
}

// A private folder for the slot's configuration, or "" after a message.
std::string MakePrivateFolder() {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "ostrivel-slot-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    Fail("cannot create a folder in " + Quoted(base.string()) + ": " +
         std::strerror(errno));
    return "";
  }
  return pattern;
}

// Runs "command" with "environment" added and returns its exit code, or
// 128 + the signal that ended it.
int RunCommand(const std::vector<std::string>& command,
               const slots::Environment& environment) {
  sigset_t forwarded;
  sigemptyset(&forwarded);
  for (int signal : kForwardedSignals) sigaddset(&forwarded, signal);
  sigset_t previous;
  ::sigprocmask(SIG_BLOCK, &forwarded, &previous);
  if (pendingSignal != 0) return 128 + pendingSignal;
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) {
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return Fail(std::string("cannot start a process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    for (int signal : kForwardedSignals) ::signal(signal, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    // The slot is handed on when this launcher dies: its command must not
    // go on counting into it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(kExitLauncherFailed);
    for (const auto& [name, value] : environment) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& argument : command) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    int error = errno;
    Fail("cannot run " + Quoted(command[0]) + ": " + std::strerror(error));
    ::_exit(error == ENOENT ? kExitNotFound : kExitCannotRun);
  }
  child = pid;
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Fail("lost the command's process");
  }
  child = 0;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

int Launch(const Options& options) {
  std::vector<slots::Slot> slotList;
  std::string error;
  if (!slots::ReadPortsFile(options.portsFile, &slotList, &error)) {
    return Fail(error);
  }
  std::string config = Environment("OSTRIVEL_CONFIG");
  if (config.empty()) {
    return Fail("no configuration file given (set OSTRIVEL_CONFIG)");
  }
  if (!ostrivel::formats::ReadConfigLines(config, [](const std::string&) {})) {
    return Fail("cannot read the configuration file " + Quoted(config));
  }

  for (int signal : kForwardedSignals) {
    struct sigaction action {};
    action.sa_handler = Forward;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }

  const int slotCount = static_cast<int>(slotList.size());
  int lock = -1;
  int index = TryClaim(options.portsFile, slotCount, &lock);
  if (index == -1) {
    std::cerr << "ostrivel-slot: all " << slotCount << " slots of "
              << Quoted(options.portsFile)
              << " are taken: waiting for one (at most "
              << FormatSeconds(options.waitSeconds) << " s)" << std::endl;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::duration<double>(options.waitSeconds));
    while (index == -1 && pendingSignal == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPollInterval);
      index = TryClaim(options.portsFile, slotCount, &lock);
    }
    if (pendingSignal != 0 && index < 0) return 128 + pendingSignal;
    if (index == -1) {
      return Fail("no slot of " + Quoted(options.portsFile) +
                      " became free within " +
                      FormatSeconds(options.waitSeconds) +
                      " s; the command was not run",
                  kExitNoFreeSlot);
    }
  }
  if (index < 0) return kExitLauncherFailed;
  const slots::Slot& slot = slotList[static_cast<std::size_t>(index)];

  namespace formats = ostrivel::formats;
  auto configValue = [&config](const char* key, std::string fallback) {
    return formats::ReadConfigValue(config, key).value_or(std::move(fallback));
  };
  std::string channel = Environment("OSTRIVEL_CHANNEL");
  if (channel.empty()) channel = "default";
  std::optional<std::string> profileFile;
  if (const char* value = std::getenv("LLVM_PROFILE_FILE")) profileFile = value;
  slots::Environment environment;
  if (!slots::SlotCountingEnvironment(
          channel, index, profileFile,
          configValue("methods_location",
                      formats::DefaultPath(formats::kMethodsFolderName)),
          &environment, &error)) {
    return Fail(error);
  }

  std::string folder = MakePrivateFolder();
  if (folder.empty()) return kExitLauncherFailed;
  std::string slotConfig = folder + "/ostrivel.conf";
  std::string log = slots::SlotLogPath(
      configValue("log_location", formats::DefaultPath(formats::kLogFileName)),
      index);
  int code = kExitLauncherFailed;
  if (!slots::WriteSlotConfig(config,
                              {{"host_name", slot.host},
                               {"port", std::to_string(slot.port)},
                               {"log_location", log}},
                              slotConfig, &error)) {
    Fail(error);
  } else {
    EnsureResultHeader(configValue(
        "res_location", formats::DefaultPath(formats::kResultFileName)));
    environment.emplace_back("OSTRIVEL_CONFIG", slotConfig);
    environment.emplace_back("OSTRIVEL_SLOT", std::to_string(index));
    code = RunCommand(options.command, environment);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  ::close(lock);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> code = ParseArguments(argc, argv, &options)) {
    return *code;
  }
  return Launch(options);
}
