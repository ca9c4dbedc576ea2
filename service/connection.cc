#include "service/connection.h"

#include <cstdint>
#include <string>

#include "harness/state.h"
#include "log/log.h"
#include "platform/operations.h"

namespace ostrivel::service {
namespace {

using log::LogLevel;
using log::WriteLog;

// Logs "<what> (Host:<host> port:<port>)", the port as configured, not cut
// to 16 bits.
void LogAddress(LogLevel level, const char* what,
                const harness::Settings& settings) {
  WriteLog(level, what, " (Host:", settings.host_name, " port:", settings.port,
           ")");
}

}  // namespace

bool ConnectToService() {
  const platform::Operations& ops = platform::Current();
  harness::ProcessState& state = harness::State();
  harness::CollectorState& collector = state.collector;
  const harness::Settings& settings = state.settings;

  // The socket of a connection that failed or that the service ended is
  // still ours; replacing it without closing would leak one descriptor per
  // attempt.
  if (collector.serviceSocket != platform::kNoSocket) {
    ops.closeSocket(collector.serviceSocket);
    collector.serviceSocket = platform::kNoSocket;
  }

  collector.serviceSocket = ops.openSocket();
  if (collector.serviceSocket == platform::kNoSocket) {
    WriteLog(LogLevel::Error, "Error (get socket)");
    return false;
  }

  // Only the low 16 bits of the configured port address the service.
  auto port =
      static_cast<std::uint16_t>(static_cast<std::uint32_t>(settings.port));
  auto address = ops.resolve(settings.host_name);
  if (!address || !ops.connect(collector.serviceSocket, *address, port,
                               settings.connect_timeout_ms)) {
    LogAddress(LogLevel::Error, "Connection failed!", settings);
    ops.closeSocket(collector.serviceSocket);
    collector.serviceSocket = platform::kNoSocket;
    return false;
  }

  LogAddress(LogLevel::Simple, "Device connected!", settings);
  return true;
}

platform::ReceiveResult ReceiveData(char* buffer, std::size_t size) {
  const platform::Operations& ops = platform::Current();
  harness::ProcessState& state = harness::State();
  harness::CollectorState& collector = state.collector;

  if (!ops.setKeepAlive(collector.serviceSocket)) {
    WriteLog(LogLevel::Debug, "Keep Alive failed!");
  }
  WriteLog(LogLevel::Debug, "Receiving data...");

  platform::ReceiveResult result = ops.receive(
      collector.serviceSocket, buffer, size, state.settings.receive_timeout_ms);
  std::size_t received = 0;
  switch (result.status) {
    case platform::ReceiveStatus::kData:
      received = result.size < size ? result.size : size;
      break;
    case platform::ReceiveStatus::kClosed:
      WriteLog(LogLevel::Error, "Connection closed!");
      collector.connected = false;
      break;
    case platform::ReceiveStatus::kError:
      WriteLog(LogLevel::Error, "Connection reset!");
      ops.showWarning("Data parser.", "Connection reset.");
      collector.connected = false;
      break;
    case platform::ReceiveStatus::kTimeout:
      // A service that stopped answering is handled like a reset, but
      // nobody asked to be held up by a warning: the time-out was chosen so
      // that the harness goes on by itself.
      WriteLog(LogLevel::Error, "Connection reset!");
      collector.connected = false;
      break;
  }
  buffer[received] = '\0';

  WriteLog(LogLevel::Debug, "Received: ");
  WriteLog(LogLevel::Debug, static_cast<const char*>(buffer));
  return {result.status, received};
}

}  // namespace ostrivel::service
