#include "platform/text_file.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace ostrivel::platform {
namespace {

using ::ostrivel::testing::ReadFile;
using ::ostrivel::testing::TempDir;
using ::ostrivel::testing::WriteFile;
using Mode = TextFileWriter::Mode;
using Status = LineReader::Status;

// Opens "path" in "mode", writes "text" and closes it again; true when the
// whole text reached the file.
bool WriteTextFile(const std::string& path, Mode mode, std::string_view text) {
  TextFileWriter writer;
  if (!writer.Open(path, mode)) return false;
  writer.Write(text);
  return writer.Close();
}

TEST(TextFileWriterTest, WritesEveryLineFeedAsCrLf) {
  TempDir dir;
  ASSERT_TRUE(WriteTextFile(dir.File("a.txt"), Mode::kTruncate, "a\nb\n\nc"));
  EXPECT_EQ(ReadFile(dir.File("a.txt")), "a\r\nb\r\n\r\nc");
}

TEST(TextFileWriterTest, AppendKeepsContentAndTruncateEmpties) {
  TempDir dir;
  std::string path = dir.File("a.txt");
  WriteFile(path, "old\r\n");
  ASSERT_TRUE(WriteTextFile(path, Mode::kAppend, "new\n"));
  EXPECT_EQ(ReadFile(path), "old\r\nnew\r\n");
  ASSERT_TRUE(WriteTextFile(path, Mode::kTruncate, "x"));
  EXPECT_EQ(ReadFile(path), "x");
}

TEST(TextFileWriterTest, MissingDirectoryIsNotCreated) {
  TempDir dir;
  TextFileWriter writer;
  EXPECT_FALSE(writer.Open(dir.File("no/such/file"), Mode::kAppend));
  writer.Write("ignored\n");  // must not crash
  EXPECT_FALSE(::ostrivel::testing::FileExists(dir.File("no")));
}

TEST(TextFileWriterTest, LargeWritesKeepTheirOrder) {
  TempDir dir;
  std::string path = dir.File("big.txt");
  std::string expected;
  TextFileWriter writer;
  ASSERT_TRUE(writer.Open(path, Mode::kTruncate));
  for (int i = 0; i < 20000; ++i) {
    std::string line = std::to_string(i) + std::string(i % 97, 'x');
    writer.Write(line + "\n");
    expected += line + "\r\n";
  }
  writer.Write(std::string(200000, 'y'));
  expected += std::string(200000, 'y');
  writer.Close();
  EXPECT_EQ(ReadFile(path), expected);
}

// Reads a file made of "bytes" to its end, recording each delivered line
// and the status after it.
std::vector<std::pair<std::string, Status>> ReadAll(std::string_view bytes) {
  TempDir dir;
  WriteFile(dir.File("in.txt"), bytes);
  LineReader reader;
  EXPECT_TRUE(reader.Open(dir.File("in.txt")));
  std::vector<std::pair<std::string, Status>> reads;
  for (;;) {
    std::string line;
    Status status = reader.ReadLine(&line);
    reads.emplace_back(line, status);
    if (status != Status::kGood) break;
  }
  return reads;
}

TEST(LineReaderTest, LinesEndAtLineFeedAndDropCarriageReturn) {
  auto reads = ReadAll("one\r\ntwo\nthr\ree\r\n");
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0].first, "one");
  EXPECT_EQ(reads[1].first, "two");
  EXPECT_EQ(reads[2].first, "thr\ree");
  EXPECT_EQ(reads[2].second, Status::kGood);
  EXPECT_EQ(reads[3], std::make_pair(std::string(), Status::kEndOfFile));
}

TEST(LineReaderTest, LastLineWithoutLineFeedIsReportedAsEndOfFile) {
  auto reads = ReadAll("a\nlast");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1], std::make_pair(std::string("last"), Status::kEndOfFile));
}

TEST(LineReaderTest, LineOf1023CharactersIsWhole) {
  std::string line(1023, 'a');
  auto reads = ReadAll(line + "\r\nnext\n");
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0], std::make_pair(line, Status::kGood));
  EXPECT_EQ(reads[1].first, "next");
}

TEST(LineReaderTest, LongerLineDeliversItsStartAndFails) {
  std::string line(1024, 'b');
  auto reads = ReadAll(line + "\nnext\n");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0], std::make_pair(std::string(1023, 'b'), Status::kFailed));
}

TEST(LineReaderTest, EmptyFileIsAtItsEndAtOnce) {
  auto reads = ReadAll("");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0], std::make_pair(std::string(), Status::kEndOfFile));
}

TEST(LineReaderTest, MissingFileCannotBeOpened) {
  TempDir dir;
  LineReader reader;
  EXPECT_FALSE(reader.Open(dir.File("missing")));
  std::string line = "stale";
  EXPECT_NE(reader.ReadLine(&line), Status::kGood);
  EXPECT_EQ(line, "");
}

}  // namespace
}  // namespace ostrivel::platform
