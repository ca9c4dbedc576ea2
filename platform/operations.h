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

// A handle of an open file. Wide enough for a Windows HANDLE as well as a
// descriptor.
using File = std::intptr_t;

// "No file".
inline constexpr File kNoFile = -1;

enum class FileAccess {
  kRead,      // an existing file, read from its start
  kAppend,    // every write lands at the end; a missing file is created
  kTruncate,  // created, or emptied when it exists
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
  // Opens a regular file or a character device ("/dev/null", "NUL") without
  // ever waiting for the open. Anything else at "path" (a FIFO, a socket, a
  // directory) is refused as if it could not be opened, so that no later read
  // or write waits on another process either. Other programs may read and
  // write the file meanwhile; a missing directory is not created. Returns
  // kNoFile on failure.
  std::function<File(const std::string& path, FileAccess access)> openFile;
  // Reads once, at most "size" bytes. Returns the number of bytes read, 0 at
  // the end of the file, or -1 on failure.
  std::function<long(File, char* buffer, std::size_t size)> readFile;
  // Writes all "size" bytes, going on after short writes. Returns the number
  // of bytes written: "size", or fewer when a write failed.
  std::function<std::size_t(File, const char* data, std::size_t size)>
      writeFile;
  // The number of bytes in the file (0 for a device), or nothing on failure.
  std::function<std::optional<std::uint64_t>(File)> fileSize;
  // Cuts the file to its first "size" bytes. Returns false on failure.
  std::function<bool(File, std::uint64_t size)> truncateFile;
  // Closes the file. Returns false when the system reports a failure, which
  // may belong to an earlier write. kNoFile is ignored.
  std::function<bool(File)> closeFile;
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
