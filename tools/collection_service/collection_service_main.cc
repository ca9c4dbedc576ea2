// ostrivel-service: the reference collection service. See the README of the
// tools for usage.

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/collection_service/collection_service.h"
#include "tools/collection_service/service_log.h"

namespace {

int Main(int argc, char** argv) {
  using ostrivel::collection::CollectionService;
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
  app.add_option("--port", port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--methods", options.methodsDirectory,
                 "Methods directory: every file whose name ends in \"csv\" is "
                 "a method list (the library's methods_location)")
      ->required();
  app.add_option("--channel", options.channel,
                 "Names the counter segments; probes read it from "
                 "OSTRIVEL_CHANNEL")
      ->capture_default_str();
  app.add_option("--log", logPath, "Log file (default: standard error)");
  CLI11_PARSE(app, argc, argv);
  options.port = static_cast<std::uint16_t>(port);

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
  std::cout << "ostrivel-service listening on " << service.Endpoint()
            << std::endl;
  service.Run();
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
