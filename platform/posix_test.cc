#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/operations.h"
#include "testing/temp_dir.h"

namespace ostrivel::platform {
namespace {

using ::ostrivel::testing::TempDir;
using ::ostrivel::testing::WriteFile;

TEST(PosixListingTest, ListsFilesAndMarksDirectories) {
  TempDir dir;
  WriteFile(dir.File("a.csv"), "");
  std::filesystem::create_directory(dir.File("sub.csv"));
  for (const std::string& path : {dir.path(), dir.path() + "."}) {
    DirectoryListing listing = NativeOperations().listDirectory(path);
    ASSERT_EQ(listing.error, 0);
    std::set<std::pair<std::string, bool>> entries;
    for (const auto& entry : listing.entries) {
      entries.insert({entry.name, entry.isDirectory});
    }
    EXPECT_TRUE(entries.count({"a.csv", false}));
    EXPECT_TRUE(entries.count({"sub.csv", true}));
  }
}

TEST(PosixListingTest, MissingDirectoryGivesItsErrorNumber) {
  TempDir dir;
  DirectoryListing listing =
      NativeOperations().listDirectory(dir.File("missing/"));
  EXPECT_NE(listing.error, 0);
  EXPECT_TRUE(listing.entries.empty());
}

TEST(PosixCurrentDirectoryTest, IsTheProcessWorkingDirectory) {
  auto current = NativeOperations().currentDirectory();
  ASSERT_TRUE(current.has_value());
  EXPECT_EQ(*current, std::filesystem::current_path().string());
}

TEST(PosixCurrentDirectoryTest, LongPathsAreNotCutOff) {
  TempDir dir;
  std::filesystem::path deep = dir.path();
  for (int i = 0; i < 12; ++i) deep /= std::string(40, 'd');
  std::filesystem::create_directories(deep);
  auto saved = std::filesystem::current_path();
  std::filesystem::current_path(deep);
  auto current = NativeOperations().currentDirectory();
  std::filesystem::current_path(saved);
  ASSERT_TRUE(current.has_value());
  EXPECT_GT(current->size(), 480u);
  EXPECT_EQ(*current, deep.string());
}

TEST(PosixSocketTest, ResolvesLoopbackNamesWithoutTheNetwork) {
  // Only names the hosts file knows: tests send no name queries out.
  auto byName = NativeOperations().resolve("localhost");
  ASSERT_TRUE(byName.has_value());
  EXPECT_EQ((*byName)[0], 127);
  auto loopback = NativeOperations().resolve("127.0.0.1");
  ASSERT_TRUE(loopback.has_value());
  EXPECT_EQ(*loopback, (Ipv4Address{127, 0, 0, 1}));
}

TEST(PosixSocketTest, SendOnAClosedPeerFailsWithoutSignal) {
  // A socket that never connected: the send fails with an error value
  // instead of raising SIGPIPE.
  Operations ops = NativeOperations();
  Socket socket = ops.openSocket();
  ASSERT_NE(socket, kNoSocket);
  EXPECT_EQ(ops.send(socket, "x", 1), -1);
  ops.closeSocket(socket);
  ops.closeSocket(kNoSocket);  // ignored
}

}  // namespace
}  // namespace ostrivel::platform
