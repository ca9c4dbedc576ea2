// The operations of a POSIX system: BSD sockets, file descriptors, opendir,
// getcwd, and the standard error stream in place of a message box.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/operations.h"

namespace ostrivel::platform {
namespace {

int Descriptor(Socket socket) { return static_cast<int>(socket); }

// Writes all of "text" to standard error, retrying on EINTR and short writes.
void WriteStandardError(std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

Socket OpenSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoSocket : fd;
}

std::optional<Ipv4Address> Resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 ||
      result == nullptr) {
    return std::nullopt;
  }
  std::optional<Ipv4Address> address;
  for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
    if (it->ai_family != AF_INET || it->ai_addr == nullptr) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ai_addr);
    Ipv4Address bytes;
    std::memcpy(bytes.data(), &in->sin_addr.s_addr, bytes.size());
    address = bytes;
    break;
  }
  ::freeaddrinfo(result);
  return address;
}

// Waits until a non-blocking connect finishes or "timeoutMs" pass.
bool FinishConnect(int fd, int timeoutMs) {
  pollfd pfd{fd, POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&pfd, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;  // a time-out restarts; rare
    if (ready <= 0) return false;
    break;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return false;
  }
  return error == 0;
}

bool Connect(Socket socket, const Ipv4Address& address, std::uint16_t port,
             int timeoutMs) {
  int fd = Descriptor(socket);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  std::memcpy(&target.sin_addr.s_addr, address.data(), address.size());
  target.sin_port = htons(port);
  const auto* raw = reinterpret_cast<const sockaddr*>(&target);

  if (timeoutMs <= 0) {
    if (::connect(fd, raw, sizeof(target)) == 0) return true;
    // An interrupted connect goes on in the background; wait for its end.
    if (errno == EINTR) return FinishConnect(fd, -1);
    return false;
  }

  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool connected = ::connect(fd, raw, sizeof(target)) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    connected = FinishConnect(fd, timeoutMs);
  }
  if (::fcntl(fd, F_SETFL, flags) != 0) return false;
  return connected;
}

bool SetKeepAlive(Socket socket) {
  int on = 1;
  return ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_KEEPALIVE, &on,
                      sizeof(on)) == 0;
}

long Send(Socket socket, const char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::send(Descriptor(socket), data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

ReceiveResult Receive(Socket socket, char* buffer, std::size_t size,
                      int timeoutMs) {
  int fd = Descriptor(socket);
  if (timeoutMs > 0) {
    pollfd pfd{fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&pfd, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return {ReceiveStatus::kTimeout, 0};
    if (ready < 0) return {ReceiveStatus::kError, 0};
  }
  for (;;) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {ReceiveStatus::kError, 0};
    if (n == 0) return {ReceiveStatus::kClosed, 0};
    return {ReceiveStatus::kData, static_cast<std::size_t>(n)};
  }
}

void CloseSocket(Socket socket) {
  if (socket == kNoSocket) return;
  // Retrying close on EINTR may close a descriptor that another thread has
  // opened meanwhile; Linux releases the descriptor even then.
  ::close(Descriptor(socket));
}

void ShowWarning(const std::string& caption, const std::string& text) {
  WriteStandardError(caption + ": " + text + "\n");
}

int FileDescriptor(File file) { return static_cast<int>(file); }

// Regular files and character devices never leave a read or write waiting
// on another process; FIFOs, sockets and directories may, or cannot be
// used as text at all.
bool Usable(mode_t mode) { return S_ISREG(mode) || S_ISCHR(mode); }

File OpenFile(const std::string& path, FileAccess access) {
  // Whatever is there already is judged before it is opened: opening a
  // FIFO, even without waiting, lets the process at its other end go on.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !Usable(info.st_mode)) {
    return kNoFile;
  }
  // O_NONBLOCK keeps the open itself from waiting for the other end of a
  // FIFO that appeared after the check.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (access) {
    case FileAccess::kRead:
      flags |= O_RDONLY;
      break;
    case FileAccess::kAppend:
      flags |= O_WRONLY | O_APPEND | O_CREAT;
      break;
    case FileAccess::kTruncate:
      flags |= O_WRONLY | O_TRUNC | O_CREAT;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kNoFile;
  int status = ::fcntl(fd, F_GETFL, 0);
  if (::fstat(fd, &info) != 0 || !Usable(info.st_mode) || status < 0 ||
      ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return kNoFile;
  }
  return fd;
}

long ReadFile(File file, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(FileDescriptor(file), buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

std::size_t WriteFile(File file, const char* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    ssize_t n = ::write(FileDescriptor(file), data + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return written;
}

std::optional<std::uint64_t> FileSize(File file) {
  struct stat info {};
  if (::fstat(FileDescriptor(file), &info) != 0) return std::nullopt;
  return S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool TruncateFile(File file, std::uint64_t size) {
  for (;;) {
    if (::ftruncate(FileDescriptor(file), static_cast<off_t>(size)) == 0) {
      return true;
    }
    if (errno != EINTR) return false;
  }
}

bool CloseFile(File file) {
  if (file == kNoFile) return true;
  // Linux releases the descriptor even when close is interrupted, and an
  // interruption says nothing about the data: only other errors count.
  return ::close(FileDescriptor(file)) == 0 || errno == EINTR;
}

DirectoryListing ListDirectory(const std::string& path) {
  DirectoryListing listing;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    listing.error = errno;
    return listing;
  }
  std::string prefix = path;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    DirectoryEntry item;
    item.name = entry->d_name;
    if (entry->d_type == DT_DIR) {
      item.isDirectory = true;
    } else if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat info {};
      item.isDirectory = ::stat((prefix + item.name).c_str(), &info) == 0 &&
                         S_ISDIR(info.st_mode);
    }
    listing.entries.push_back(std::move(item));
  }
  ::closedir(dir);
  return listing;
}

std::optional<std::string> CurrentDirectory() {
  // No fixed limit: a deep CI workspace must still yield its name.
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

Operations NativeOperations() {
  Operations ops;
  // POSIX has no socket library to start or stop.
  ops.startSockets = [] { return true; };
  ops.stopSockets = [] {};
  ops.openSocket = OpenSocket;
  ops.resolve = Resolve;
  ops.connect = Connect;
  ops.setKeepAlive = SetKeepAlive;
  ops.send = Send;
  ops.receive = Receive;
  ops.closeSocket = CloseSocket;
  ops.showWarning = ShowWarning;
  ops.writeError = WriteStandardError;
  ops.openFile = OpenFile;
  ops.readFile = ReadFile;
  ops.writeFile = WriteFile;
  ops.fileSize = FileSize;
  ops.truncateFile = TruncateFile;
  ops.closeFile = CloseFile;
  ops.listDirectory = ListDirectory;
  ops.currentDirectory = CurrentDirectory;
  return ops;
}

}  // namespace ostrivel::platform
