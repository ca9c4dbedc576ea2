// ostrivel-service: the reference collection service. See the README of the
// tools for usage.

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include <CLI/CLI.hpp>

#include "tools/collection_service/collection_service.h"
#include "tools/collection_service/service_log.h"

namespace {

using ostrivel::collection::CollectionService;

// Writes "<i> <host> <port>" per slot to "path" whole: to a temporary name
// first, then renamed, so that a script waiting for the file never reads
// half of it.
bool WritePortsFile(const CollectionService& service, const std::string& path,
                    std::string* error) {
  std::ostringstream text;
  for (std::size_t i = 0; i < service.slots(); ++i) {
    text << i << ' ' << service.Address(i) << ' ' << service.port(i) << '\n';
  }
  std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
      *error = "cannot write the ports file \"" + temporary + "\"";
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    *error = "cannot write the ports file \"" + path + "\"";
    return false;
  }
  return true;
}

int Main(int argc, char** argv) {
  using ostrivel::collection::ServiceLog;
  using ostrivel::collection::ServiceOptions;

  CLI::App app{
      "ostrivel-service: the reference collection service. Counts the method "
      "calls that programs under test report through libostrivel-probe and "
      "answers the coverage library's NEWTC and ASK requests over HTTP/1.1."};
  ServiceOptions options;
  int port = options.port;
  std::string logPath;
  app.add_option("--host", options.host, "Address to listen on")
      ->capture_default_str();
  app.add_option("--port", port,
                 "TCP port of slot 0; slot i listens on port + i. 0 picks a "
                 "free port for each slot")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--slots", options.slots,
                 "Independent slots (1 to 1024), each with its own port and "
                 "its own counters, for harnesses that run tests side by "
                 "side. With "
                 "more than one, slot i counts on the channel "
                 "\"<channel>.<i>\"")
      ->check([](const std::string& text) -> std::string {
        std::size_t slots = 0;
        std::istringstream in(text);
        if (!(in >> slots) || !in.eof() || text.front() == '-' || slots < 1 ||
            slots > ostrivel::collection::kMaxSlots) {
          return "must be a whole number from 1 to " +
                 std::to_string(ostrivel::collection::kMaxSlots) + ", not \"" +
                 text + "\"";
        }
        return std::string();
      })
      ->capture_default_str();
  std::string portsFile;
  app.add_option("--ports-file", portsFile,
                 "Once every slot listens, write \"<slot> <host> <port>\" per "
                 "slot to this file (whole, through a rename); removed when "
                 "the service stops");
  app.add_option("--methods", options.methodsDirectory,
                 "Methods directory: every file whose name ends in \"csv\" is "
                 "a method list (the library's methods_location)")
      ->required();
  app.add_option("--channel", options.channel,
                 "Names the counter segments; probes read it from "
                 "OSTRIVEL_CHANNEL (with several slots, slot i's is "
                 "\"<channel>.<i>\")")
      ->capture_default_str();
  app.add_option("--log", logPath, "Log file (default: standard error)");
  double requestSeconds = 30;
  double idleSeconds = 600;
  app.add_option("--request-timeout", requestSeconds,
                 "Seconds a request may take to arrive whole (header and "
                 "body); a connection that is slower is closed")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--idle-timeout", idleSeconds,
                 "Seconds a kept connection may wait for its next request; "
                 "the library's connection waits while a test runs")
      ->check(CLI::Range(0.001, 31536000.0))
      ->capture_default_str();
  app.add_option(
         "--max-connections", options.maxConnections,
         "Connections open at once (per slot); beyond it, the oldest one that "
         "has sent no request is closed for the new one, or the new "
         "one is when there is none")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  app.add_option("--allow-host", options.allowedHosts,
                 "A name the Host header may carry besides localhost and "
                 "loopback addresses, checked while listening on a loopback "
                 "address (repeatable)")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI11_PARSE(app, argc, argv);
  options.port = static_cast<std::uint16_t>(port);
  auto toMillis = [](double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000));
  };
  options.requestTimeout = toMillis(requestSeconds);
  options.idleTimeout = toMillis(idleSeconds);

  // A peer that vanishes mid-answer must not end the service.
  ::signal(SIGPIPE, SIG_IGN);

  ServiceLog log;
  if (!logPath.empty() && !log.OpenFile(logPath)) {
    std::cerr << "ostrivel-service: cannot open the log file \"" << logPath
              << "\"\n";
    return 1;
  }
  CollectionService service(&log);
  std::string error;
  if (!service.Start(options, &error)) {
    if (!logPath.empty()) log.Error(error);
    std::cerr << "ostrivel-service: " << error << "\n";
    return 1;
  }
  service.StopOnSignals();
  if (!portsFile.empty() && !WritePortsFile(service, portsFile, &error)) {
    log.Error(error);
    if (!logPath.empty()) std::cerr << "ostrivel-service: " << error << "\n";
    return 1;
  }
  if (service.slots() == 1) {
    std::cout << "ostrivel-service listening on " << service.Endpoint()
              << std::endl;
  } else {
    for (std::size_t i = 0; i < service.slots(); ++i) {
      std::cout << "slot " << i << " listening on " << service.Endpoint(i)
                << "\n";
    }
    std::cout.flush();
  }
  service.Run();
  if (!portsFile.empty()) {
    std::error_code ignored;
    std::filesystem::remove(portsFile, ignored);
  }
  log.Info("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "ostrivel-service: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "ostrivel-service: unexpected failure\n";
  }
  return 1;
}
