#ifndef OSTRIVEL_PLATFORM_OPERATIONS_H_
#define OSTRIVEL_PLATFORM_OPERATIONS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrivel::platform {

// A socket handle. Wide enough for a Windows SOCKET as well as a descriptor.
using Socket = std::intptr_t;

// "No socket". 0 is a valid descriptor (standard input) on POSIX.
inline constexpr Socket kNoSocket = -1;

// An IPv4 address, most significant byte first.
using Ipv4Address = std::array<std::uint8_t, 4>;

enum class ReceiveStatus {
  kData,     // "size" bytes arrived
  kClosed,   // the peer closed the connection
  kError,    // the connection was reset or another error occurred
  kTimeout,  // nothing arrived within the time-out
};

struct ReceiveResult {
  ReceiveStatus status = ReceiveStatus::kError;
  std::size_t size = 0;
};

struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;
};

// The entries of one directory in the platform's order, "." and ".." among
// them where the platform yields them. "error" is 0 on success, otherwise
// the C library's error number that says why the directory cannot be listed.
struct DirectoryListing {
  int error = 0;
  std::vector<DirectoryEntry> entries;
};

// The operations that the library needs of its platform. One table is in
// force for the whole process (Current()); tests replace single members:
//
//   auto ops = platform::Current();
//   ops.receive = [](Socket, char*, std::size_t, int) { ... };
//   platform::ScopedOperations scoped(ops);
//
// No operation throws; failures are returned as values.
struct Operations {
  // Starts the platform's socket library. Returns false on failure.
  std::function<bool()> startSockets;
  // Stops the platform's socket library.
  std::function<void()> stopSockets;
  // Creates an IPv4 stream socket. Returns kNoSocket on failure.
  std::function<Socket()> openSocket;
  // Looks a host name up and returns its first IPv4 address, or nothing.
  std::function<std::optional<Ipv4Address>(const std::string& host)> resolve;
  // Connects, blocking. A positive "timeoutMs" bounds the attempt; 0 waits
  // as long as the system does. Returns true when the connection stands.
  std::function<bool(Socket, const Ipv4Address&, std::uint16_t port,
                     int timeoutMs)>
      connect;
  // Switches keep-alive on. Returns false on failure.
  std::function<bool(Socket)> setKeepAlive;
  // Sends once. Returns the number of bytes sent, or -1 on failure. Never
  // raises SIGPIPE.
  std::function<long(Socket, const char* data, std::size_t size)> send;
  // Receives once, at most "size" bytes. A positive "timeoutMs" bounds the
  // wait (kTimeout); 0 waits until data arrive or the connection ends.
  std::function<ReceiveResult(Socket, char* buffer, std::size_t size,
                              int timeoutMs)>
      receive;
  // Closes a socket. kNoSocket is ignored.
  std::function<void(Socket)> closeSocket;
  // Shows a warning to the user and returns when it has been acknowledged.
  std::function<void(const std::string& caption, const std::string& text)>
      showWarning;
  // Writes text to the standard error stream, unbuffered.
  std::function<void(std::string_view text)> writeError;
  // Lists a directory; "path" may end in a separator or not.
  std::function<DirectoryListing(const std::string& path)> listDirectory;
  // The current working directory, or nothing when it cannot be obtained.
  std::function<std::optional<std::string>()> currentDirectory;
};

// The table of the platform the library was built for.
Operations NativeOperations();

// The table in force.
const Operations& Current();

// Puts "ops" in force and returns the table it replaces.
Operations Install(Operations ops);

// Puts a table in force for the lifetime of this object.
class ScopedOperations {
 public:
  explicit ScopedOperations(Operations ops) : saved_(Install(std::move(ops))) {}
  ~ScopedOperations() { Install(std::move(saved_)); }
  ScopedOperations(const ScopedOperations&) = delete;
  ScopedOperations& operator=(const ScopedOperations&) = delete;

 private:
  Operations saved_;
};

}  // namespace ostrivel::platform

#endif  // OSTRIVEL_PLATFORM_OPERATIONS_H_
