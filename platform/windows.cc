// The operations of Windows (32 and 64 bits): Windows Sockets 2, MessageBoxA,
// file handles, the FindFirstFileA listing and _getcwd.

// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#include <direct.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/operations.h"

namespace ostrivel::platform {
namespace {

// The classic path limit of the ANSI file functions, terminator included.
constexpr std::size_t kMaxPath = MAX_PATH;

SOCKET Handle(Socket socket) { return static_cast<SOCKET>(socket); }

// Winsock takes int lengths; larger requests are served in part, as a
// short send or receive would be.
int Length(std::size_t size) {
  return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

// Through the C library's standard error stream, so that a harness sees
// the same line ends there as from its own CRT (text mode).
void WriteStandardError(std::string_view text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool StartSockets() {
  WSADATA wsaData;
  return ::WSAStartup(MAKEWORD(2, 0), &wsaData) == 0;
}

void StopSockets() { ::WSACleanup(); }

Socket OpenSocket() {
  SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
  if (handle == INVALID_SOCKET) return kNoSocket;
  // Programs that the harness starts must not inherit the connection (the
  // counterpart of SOCK_CLOEXEC); a failure here only leaves it inheritable.
  ::SetHandleInformation(
      reinterpret_cast<HANDLE>(handle),  // NOLINT(performance-no-int-to-ptr)
      HANDLE_FLAG_INHERIT, 0);
  // Socket is as wide as SOCKET and signed; INVALID_SOCKET is kNoSocket.
  return static_cast<Socket>(handle);  // NOLINT(bugprone-narrowing-conversions)
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

bool SetBlocking(SOCKET handle, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(handle, FIONBIO, &nonBlocking) == 0;
}

timeval Timeout(int timeoutMs) {
  timeval timeout{};
  timeout.tv_sec = timeoutMs / 1000;
  timeout.tv_usec = (timeoutMs % 1000) * 1000;
  return timeout;
}

bool Connect(Socket socket, const Ipv4Address& address, std::uint16_t port,
             int timeoutMs) {
  SOCKET handle = Handle(socket);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  std::memcpy(&target.sin_addr.s_addr, address.data(), address.size());
  target.sin_port = ::htons(port);
  const auto* raw = reinterpret_cast<const sockaddr*>(&target);

  if (timeoutMs <= 0) {
    return ::connect(handle, raw, sizeof(target)) == 0;
  }

  if (!SetBlocking(handle, false)) return false;
  bool connected = ::connect(handle, raw, sizeof(target)) == 0;
  if (!connected && ::WSAGetLastError() == WSAEWOULDBLOCK) {
    // A failed attempt is reported in the exception set, not as writable.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(handle, &writable);
    FD_SET(handle, &failed);
    timeval timeout = Timeout(timeoutMs);
    int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready > 0 && FD_ISSET(handle, &writable)) {
      int error = 0;
      int length = sizeof(error);
      connected = ::getsockopt(handle, SOL_SOCKET, SO_ERROR,
                               reinterpret_cast<char*>(&error), &length) == 0 &&
                  error == 0;
    }
  }
  if (!SetBlocking(handle, true)) return false;
  return connected;
}

bool SetKeepAlive(Socket socket) {
  BOOL on = TRUE;
  return ::setsockopt(Handle(socket), SOL_SOCKET, SO_KEEPALIVE,
                      reinterpret_cast<const char*>(&on), sizeof(on)) == 0;
}

long Send(Socket socket, const char* data, std::size_t size) {
  int n = ::send(Handle(socket), data, Length(size), 0);
  return n == SOCKET_ERROR ? -1L : static_cast<long>(n);
}

ReceiveResult Receive(Socket socket, char* buffer, std::size_t size,
                      int timeoutMs) {
  SOCKET handle = Handle(socket);
  if (timeoutMs > 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle, &readable);
    timeval timeout = Timeout(timeoutMs);
    int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) return {ReceiveStatus::kTimeout, 0};
    if (ready == SOCKET_ERROR) return {ReceiveStatus::kError, 0};
  }
  int n = ::recv(handle, buffer, Length(size), 0);
  if (n == SOCKET_ERROR) return {ReceiveStatus::kError, 0};
  if (n == 0) return {ReceiveStatus::kClosed, 0};
  return {ReceiveStatus::kData, static_cast<std::size_t>(n)};
}

void CloseSocket(Socket socket) {
  if (socket == kNoSocket) return;
  ::closesocket(Handle(socket));
}

// OSTRIVEL_DIALOGS=0 turns every box into a line on standard error, so that
// an unattended run never waits for a click. Read at each call: a harness
// may set it after loading the library.
bool DialogsWanted() {
  char value[8];
  DWORD length =
      ::GetEnvironmentVariableA("OSTRIVEL_DIALOGS", value, sizeof(value));
  return !(length == 1 && value[0] == '0');
}

void ShowWarning(const std::string& caption, const std::string& text) {
  if (!DialogsWanted()) {
    WriteStandardError(caption + ": " + text + "\n");
    return;
  }
  ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
}

HANDLE FileHandle(File file) {
  return reinterpret_cast<HANDLE>(file);  // NOLINT(performance-no-int-to-ptr)
}

File OpenFile(const std::string& path, FileAccess access) {
  // The size of a file opened for writing needs FILE_READ_ATTRIBUTES.
  DWORD desired = access == FileAccess::kRead
                      ? GENERIC_READ
                      : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
  DWORD disposition = OPEN_EXISTING;
  if (access == FileAccess::kAppend) disposition = OPEN_ALWAYS;
  if (access == FileAccess::kTruncate) disposition = CREATE_ALWAYS;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all,
  // and a pipe that is busy fails at once instead of waiting.
  HANDLE handle =
      ::CreateFileA(path.c_str(), desired,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kNoFile;
  // A pipe could leave a read or write waiting on another process.
  DWORD type = ::GetFileType(handle);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
    ::CloseHandle(handle);
    return kNoFile;
  }
  // Not inherited by the programs that the harness starts.
  ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  return reinterpret_cast<File>(handle);
}

long ReadFromFile(File file, char* buffer, std::size_t size) {
  DWORD read = 0;
  DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(FileHandle(file), buffer, wanted, &read, nullptr)) {
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0L : -1L;
  }
  return static_cast<long>(read);
}

std::size_t WriteToFile(File file, const char* data, std::size_t size) {
  HANDLE handle = FileHandle(file);
  // On a disk file every write goes to the end of the file as it is at that
  // moment, also when another process has appended meanwhile (the offset
  // 0xFFFFFFFF:0xFFFFFFFF); a file emptied at its open is written in order
  // all the same. Devices have no offset.
  bool atEnd = ::GetFileType(handle) == FILE_TYPE_DISK;
  std::size_t written = 0;
  while (written < size) {
    DWORD chunk =
        static_cast<DWORD>(std::min<std::size_t>(size - written, 1u << 30));
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    DWORD done = 0;
    if (!::WriteFile(handle, data + written, chunk, &done,
                     atEnd ? &end : nullptr) ||
        done == 0) {
      break;
    }
    written += done;
  }
  return written;
}

std::optional<std::uint64_t> FileSize(File file) {
  HANDLE handle = FileHandle(file);
  if (::GetFileType(handle) != FILE_TYPE_DISK) return 0;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle, &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool TruncateFile(File file, std::uint64_t size) {
  HANDLE handle = FileHandle(file);
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(handle);
}

bool CloseFile(File file) {
  if (file == kNoFile) return true;
  return ::CloseHandle(FileHandle(file)) != 0;
}

int ListingError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return ENOENT;
  }
}

DirectoryListing ListDirectory(const std::string& path) {
  DirectoryListing listing;
  char full[kMaxPath];
  DWORD length = ::GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  if (length == 0) {
    // The ANSI functions refuse a path beyond their limit outright.
    listing.error =
        ::GetLastError() == ERROR_FILENAME_EXCED_RANGE ? ENAMETOOLONG : ENOENT;
    return listing;
  }
  // The pattern needs room for "\", "*" and the terminator; a longer result
  // did not fit "full" in the first place.
  if (length + 3 >= kMaxPath) {
    listing.error = ENAMETOOLONG;
    return listing;
  }
  std::string pattern(full, length);
  if (pattern.back() != '\\' && pattern.back() != ':') pattern += '\\';
  pattern += '*';

  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    // An empty drive root has no "." or "..", so nothing matches there:
    // that is an empty listing, not a missing directory.
    DWORD attributes = ::GetFileAttributesA(full);
    if (error == ERROR_FILE_NOT_FOUND &&
        attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return listing;
    }
    listing.error = ListingError(error);
    return listing;
  }
  do {
    DirectoryEntry entry;
    entry.name = data.cFileName;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    listing.entries.push_back(std::move(entry));
  } while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return listing;
}

std::optional<std::string> CurrentDirectory() {
  // A fixed buffer of the classic path limit: a deeper directory cannot be
  // named, and the caller then uses "undefined".
  char buffer[kMaxPath];
  if (::_getcwd(buffer, static_cast<int>(sizeof(buffer))) == nullptr) {
    return std::nullopt;
  }
  return std::string(buffer);
}

}  // namespace

Operations NativeOperations() {
  Operations ops;
  ops.startSockets = StartSockets;
  ops.stopSockets = StopSockets;
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
  ops.readFile = ReadFromFile;
  ops.writeFile = WriteToFile;
  ops.fileSize = FileSize;
  ops.truncateFile = TruncateFile;
  ops.closeFile = CloseFile;
  ops.listDirectory = ListDirectory;
  ops.currentDirectory = CurrentDirectory;
  return ops;
}

}  // namespace ostrivel::platform
