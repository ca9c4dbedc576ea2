// The Windows operations (platform/windows.cc) against the real system
// under Wine: the listing rules, the working directory, sockets over
// 127.0.0.1 with a peer that this test plays itself, and the two forms of
// a warning.

// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#include <direct.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/operations.h"
#include "testing/temp_dir.h"

namespace ostrivel::platform {
namespace {

using ::ostrivel::testing::TempDir;
using ::ostrivel::testing::WriteFile;

std::set<std::pair<std::string, bool>> Entries(const DirectoryListing& list) {
  std::set<std::pair<std::string, bool>> entries;
  for (const auto& entry : list.entries) {
    entries.insert({entry.name, entry.isDirectory});
  }
  return entries;
}

TEST(WindowsListingTest, ListsEveryFormOfTheSamePath) {
  TempDir dir;
  WriteFile(dir.File("a.csv"), "");
  std::filesystem::create_directory(dir.File("sub.csv"));
  std::string plain = dir.path();
  plain.pop_back();
  std::string backslashes = plain;
  for (char& c : backslashes) {
    if (c == '/') c = '\\';
  }
  const std::set<std::pair<std::string, bool>> expected = {
      {".", true}, {"..", true}, {"a.csv", false}, {"sub.csv", true}};
  for (const std::string& path :
       {plain, plain + "/", backslashes, backslashes + "\\", plain + "/."}) {
    SCOPED_TRACE(path);
    DirectoryListing listing = NativeOperations().listDirectory(path);
    ASSERT_EQ(listing.error, 0);
    EXPECT_EQ(Entries(listing), expected);
  }
}

TEST(WindowsListingTest, RelativePathCountsFromTheWorkingDirectory) {
  TempDir dir;
  WriteFile(dir.File("m.csv"), "");
  std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  DirectoryListing listing = NativeOperations().listDirectory(".");
  std::filesystem::current_path(saved);
  ASSERT_EQ(listing.error, 0);
  EXPECT_EQ(Entries(listing).count({"m.csv", false}), 1u);
}

TEST(WindowsListingTest, MissingDirectoryIsEnoent) {
  TempDir dir;
  for (const std::string& path :
       {dir.File("missing"), dir.File("missing/"), dir.File("a/b/c/")}) {
    DirectoryListing listing = NativeOperations().listDirectory(path);
    EXPECT_EQ(listing.error, ENOENT) << path;
    EXPECT_TRUE(listing.entries.empty());
  }
  EXPECT_EQ(NativeOperations().listDirectory("").error, ENOENT);
}

TEST(WindowsListingTest, AFileIsNotADirectoryToList) {
  TempDir dir;
  WriteFile(dir.File("list.csv"), "x");
  DirectoryListing listing =
      NativeOperations().listDirectory(dir.File("list.csv"));
  EXPECT_NE(listing.error, 0);
  EXPECT_TRUE(listing.entries.empty());
}

TEST(WindowsListingTest, FullPathOf257CharactersIsTooLong) {
  // "C:\" and n letters: the full path is the path itself. Its length plus
  // "\", "*" and the terminator must stay below 260.
  std::string fits = "C:\\" + std::string(253, 'a');     // 256
  std::string tooLong = "C:\\" + std::string(254, 'a');  // 257
  EXPECT_EQ(NativeOperations().listDirectory(fits).error, ENOENT);
  EXPECT_EQ(NativeOperations().listDirectory(tooLong).error, ENAMETOOLONG);
  EXPECT_EQ(NativeOperations().listDirectory(tooLong + "\\").error,
            ENAMETOOLONG);
  EXPECT_EQ(
      NativeOperations().listDirectory("C:\\" + std::string(400, 'a')).error,
      ENAMETOOLONG);
}

TEST(WindowsCurrentDirectoryTest, IsTheProcessWorkingDirectory) {
  TempDir dir;
  std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::optional<std::string> current = NativeOperations().currentDirectory();
  std::string expected = std::filesystem::current_path().string();
  std::filesystem::current_path(saved);
  ASSERT_TRUE(current.has_value());
  EXPECT_EQ(*current, expected);
}

// A peer on 127.0.0.1 for one connection, driven step by step from the
// test's own thread.
class Peer {
 public:
  Peer() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ::ntohs(address.sin_port);
  }
  ~Peer() {
    if (connection_ != INVALID_SOCKET) ::closesocket(connection_);
    ::closesocket(listener_);
    if (started_) ::WSACleanup();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  std::uint16_t port() const { return port_; }
  bool Listen() { return ::listen(listener_, 4) == 0; }
  bool Accept() {
    connection_ = ::accept(listener_, nullptr, nullptr);
    return connection_ != INVALID_SOCKET;
  }
  std::string Read() {
    char buffer[256];
    int n = ::recv(connection_, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, n) : std::string();
  }
  bool Write(const std::string& text) {
    return ::send(connection_, text.data(), static_cast<int>(text.size()), 0) ==
           static_cast<int>(text.size());
  }
  void Close() {
    ::closesocket(connection_);
    connection_ = INVALID_SOCKET;
  }

 private:
  bool started_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET connection_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
};

constexpr Ipv4Address kLoopback = {127, 0, 0, 1};

class WindowsSocketTest : public ::testing::Test {
 protected:
  WindowsSocketTest() { started_ = ops_.startSockets(); }
  ~WindowsSocketTest() override {
    ops_.closeSocket(socket_);
    if (started_) ops_.stopSockets();
  }

  // Connects to the peer, blocking ("timeoutMs" 0) or bounded.
  bool ConnectToPeer(int timeoutMs) {
    socket_ = ops_.openSocket();
    return socket_ != kNoSocket &&
           ops_.connect(socket_, kLoopback, peer_.port(), timeoutMs);
  }
  ReceiveResult Receive(std::string* text, int timeoutMs = 0) {
    char buffer[64];
    ReceiveResult result =
        ops_.receive(socket_, buffer, sizeof(buffer), timeoutMs);
    text->assign(buffer,
                 result.status == ReceiveStatus::kData ? result.size : 0);
    return result;
  }

  Operations ops_ = NativeOperations();
  bool started_ = false;
  Peer peer_;
  Socket socket_ = kNoSocket;
};

TEST_F(WindowsSocketTest, ExchangesBytesUntilThePeerCloses) {
  ASSERT_TRUE(started_);
  ASSERT_TRUE(peer_.Listen());
  for (int timeoutMs : {0, 5000}) {
    SCOPED_TRACE(timeoutMs);
    ASSERT_TRUE(ConnectToPeer(timeoutMs));
    ASSERT_TRUE(peer_.Accept());
    EXPECT_TRUE(ops_.setKeepAlive(socket_));
    EXPECT_EQ(ops_.send(socket_, "ping", 4), 4);
    EXPECT_EQ(peer_.Read(), "ping");
    ASSERT_TRUE(peer_.Write("pong"));
    std::string text;
    // The bounded wait leaves the socket blocking for the receive.
    EXPECT_EQ(Receive(&text, timeoutMs).status, ReceiveStatus::kData);
    EXPECT_EQ(text, "pong");
    peer_.Close();
    EXPECT_EQ(Receive(&text).status, ReceiveStatus::kClosed);
    ops_.closeSocket(socket_);
    socket_ = kNoSocket;
  }
}

TEST_F(WindowsSocketTest, AFailedReceiveIsAnError) {
  // A socket that never connected. (Wine turns a peer's abortive close
  // into an orderly one, so a reset cannot be staged here; the POSIX tests
  // cover it.)
  socket_ = ops_.openSocket();
  ASSERT_NE(socket_, kNoSocket);
  std::string text = "unchanged";
  EXPECT_EQ(Receive(&text).status, ReceiveStatus::kError);
  EXPECT_EQ(text, "");
}

TEST_F(WindowsSocketTest, SilenceTimesOutWhenBounded) {
  ASSERT_TRUE(peer_.Listen());
  ASSERT_TRUE(ConnectToPeer(0));
  ASSERT_TRUE(peer_.Accept());
  std::string text;
  EXPECT_EQ(Receive(&text, 50).status, ReceiveStatus::kTimeout);
  ASSERT_TRUE(peer_.Write("late"));
  EXPECT_EQ(Receive(&text, 5000).status, ReceiveStatus::kData);
  EXPECT_EQ(text, "late");
}

TEST_F(WindowsSocketTest, APortNobodyListensOnRefuses) {
  // The peer's port is bound but not listening.
  for (int timeoutMs : {0, 5000}) {
    EXPECT_FALSE(ConnectToPeer(timeoutMs)) << timeoutMs;
    ops_.closeSocket(socket_);
    socket_ = kNoSocket;
  }
}

TEST_F(WindowsSocketTest, ResolvesLoopbackNamesWithoutTheNetwork) {
  EXPECT_EQ(ops_.resolve("127.0.0.1"), kLoopback);
  EXPECT_EQ(ops_.resolve("localhost"), kLoopback);
}

TEST(WindowsSocketLibraryTest, NoSocketBeforeTheLibraryStarts) {
  Operations ops = NativeOperations();
  EXPECT_EQ(ops.openSocket(), kNoSocket);
  ASSERT_TRUE(ops.startSockets());
  Socket socket = ops.openSocket();
  EXPECT_NE(socket, kNoSocket);
  ops.closeSocket(socket);
  ops.stopSockets();
  EXPECT_EQ(ops.openSocket(), kNoSocket);
}

class WindowsWarningTest : public ::testing::Test {
 protected:
  ~WindowsWarningTest() override {
    ::SetEnvironmentVariableA("OSTRIVEL_DIALOGS", nullptr);
  }
  // What showWarning wrote to standard error.
  std::string Warn() {
    ::testing::internal::CaptureStderr();
    NativeOperations().showWarning("Re-Connection", "Maybe no server!");
    return ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(WindowsWarningTest, DialogsOffMakesALineOnStandardError) {
  ::SetEnvironmentVariableA("OSTRIVEL_DIALOGS", "0");
  std::string text = Warn();
  // The C library's text mode may turn the line feed into CR LF.
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
    text.erase(text.size() - 2, 1);
  }
  EXPECT_EQ(text, "Re-Connection: Maybe no server!\n");
}

TEST_F(WindowsWarningTest, EveryOtherValueKeepsTheBox) {
  // Without a display the box returns at once; it writes nothing.
  for (const char* value :
       {static_cast<const char*>(nullptr), "", "1", "00", "0 ", "no"}) {
    ::SetEnvironmentVariableA("OSTRIVEL_DIALOGS", value);
    EXPECT_EQ(Warn(), "") << (value == nullptr ? "(unset)" : value);
  }
}

}  // namespace
}  // namespace ostrivel::platform
