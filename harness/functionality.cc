// The seven exported functions. They are thin: each logs its own line, calls
// the subsystems in order and returns its documented value. Nothing escapes
// toward the harness as an exception.

#include "ostrivel/functionality.h"

#include <exception>
#include <string>

#include "config/config_reader.h"
#include "formats/names.h"
#include "harness/state.h"
#include "log/log.h"
#include "platform/operations.h"
#include "service/connection.h"
#include "service/exchange.h"

namespace {

using ostrivel::harness::State;
using ostrivel::log::LogLevel;
using ostrivel::log::WriteLog;

constexpr const char* kReconnectionError =
    "Error in re-connection! Maybe no server running!";

// Runs "body" and returns its result; an exception that escapes it is logged
// once at level 2 and turned into "fallback".
template <typename Body>
bool Guarded(const char* function, bool fallback, Body body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    WriteLog(LogLevel::Error, "Unexpected failure in ", function, ". (",
             error.what(), ")");
  } catch (...) {
    WriteLog(LogLevel::Error, "Unexpected failure in ", function, ".");
  }
  return fallback;
}

// Connects to the service and marks the connection as standing. A failure
// is the re-connection error: logged, shown as a warning, and false.
bool Connect() {
  if (!ostrivel::service::ConnectToService()) {
    WriteLog(LogLevel::Error, kReconnectionError);
    ostrivel::platform::Current().showWarning("Re-Connection",
                                              kReconnectionError);
    return false;
  }
  State().collector.connected = true;
  return true;
}

}  // namespace

namespace Functionality {

bool Init(const char* configPath) {
  return Guarded("Init", true, [&] {
    // Lists load by appending: a harness that calls Init again must not get
    // each list twice, which no answer's counts would match.
    auto& state = State();
    state.methodLists.clear();
    ostrivel::config::ReadConfiguration(configPath, state.settings,
                                        state.methodLists);
    return true;
  });
}

bool Open() {
  return Guarded("Open", true, [] {
    WriteLog(LogLevel::Simple, "Device open.");
    // A failed start shows up as a failed connection later.
    ostrivel::platform::Current().startSockets();
    return true;
  });
}

bool StartNewTestCase() {
  return Guarded("StartNewTestCase", false, [] {
    using ostrivel::service::BuildRequestBody;
    using ostrivel::service::ExchangeEnd;
    using ostrivel::service::SendRequest;
    WriteLog(LogLevel::Simple, "Start new test case.");
    if (!State().collector.connected && !Connect()) return false;
    if (SendRequest(BuildRequestBody("NEWTC")) ==
        ExchangeEnd::kClosedUnanswered) {
      // The service ended the connection while it stood idle (a restart,
      // most likely) and gave no answer: without a second try on a new
      // connection the test would get no row. One try only, so that a
      // service that keeps closing costs one test and not the run.
      if (!Connect()) return false;
      SendRequest(BuildRequestBody("NEWTC"));
    }
    return true;
  });
}

bool SetTestName(const char* name) {
  return Guarded("SetTestName", true, [&] {
    auto& collector = State().collector;
    if (name == nullptr) {
      // A harness fault; the previous name stays instead of the harness
      // crashing.
      WriteLog(LogLevel::Error,
               "Unable to update the name of the test case: no name given!");
      return true;
    }
    collector.testName = name;
    ostrivel::formats::ReplaceLineBreaks(collector.testName);
    WriteLog(LogLevel::Simple, "Update the name of the test case. (Test name: ",
             collector.testName, ")");
    return true;
  });
}

bool GetCurrentPath() {
  return Guarded("GetCurrentPath", true, [] {
    std::string testName = "undefined";
    if (auto currentPath = ostrivel::platform::Current().currentDirectory()) {
      std::size_t separator = currentPath->find_last_of("/\\");
      testName = separator == std::string::npos
                     ? *currentPath
                     : currentPath->substr(separator + 1);
    }
    SetTestName(testName.c_str());
    return true;
  });
}

bool GetCollectedInformation() {
  return Guarded("GetCollectedInformation", true, [] {
    WriteLog(LogLevel::Simple, "Get collected information.");
    auto& collector = State().collector;
    if (collector.connected) {
      // Never sent twice, unlike "NEWTC": a restarted service would answer
      // with counts from after its restart as if they were the test's.
      ostrivel::service::SendRequest(
          ostrivel::service::BuildRequestBody("ASK"));
      // Whatever the exchange did, the next evaluation probes the result
      // file anew.
      collector.resultFileExists = false;
    }
    return true;
  });
}

bool Close() {
  return Guarded("Close", true, [] {
    WriteLog(LogLevel::Simple, "Device close.");
    auto& collector = State().collector;
    const auto& ops = ostrivel::platform::Current();
    // A connection that a receive found ended keeps its socket until the
    // next connection replaces it; closing only while "connected" would
    // leave that one open until the process ends.
    if (collector.serviceSocket != ostrivel::platform::kNoSocket) {
      ops.closeSocket(collector.serviceSocket);
    }
    // Nothing may use the closed socket again: a later
    // GetCollectedInformation sends nothing and a later StartNewTestCase
    // connects anew.
    collector.serviceSocket = ostrivel::platform::kNoSocket;
    collector.connected = false;
    ops.stopSockets();
    return true;
  });
}

}  // namespace Functionality
