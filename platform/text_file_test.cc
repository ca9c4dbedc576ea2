#include "platform/text_file.h"

#include <cstdint>
#include <ostream>
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

struct Read {
  std::string line;
  Status status;
  std::uint64_t lineNumber;
  bool operator==(const Read&) const = default;
};

void PrintTo(const Read& read, std::ostream* out) {
  *out << "{\"" << read.line.substr(0, 40) << "\" (" << read.line.size()
       << "), " << static_cast<int>(read.status) << ", " << read.lineNumber
       << "}";
}

// Reads a file made of "bytes" to its end with a reader of "limit",
// recording each delivered line, the status and the line number after it.
std::vector<Read> ReadAll(std::string_view bytes,
                          std::size_t limit = LineReader::kMaxLine) {
  TempDir dir;
  WriteFile(dir.File("in.txt"), bytes);
  LineReader reader(limit);
  EXPECT_TRUE(reader.Open(dir.File("in.txt")));
  std::vector<Read> reads;
  for (;;) {
    std::string line;
    Status status = reader.ReadLine(&line);
    reads.push_back({line, status, reader.LineNumber()});
    if (status != Status::kGood) break;
  }
  EXPECT_FALSE(reader.ReadFailed());
  return reads;
}

struct LineCase {
  const char* name;
  std::string bytes;
  std::size_t limit;
  std::vector<Read> reads;
};

const std::string k1023(1023, 'a');
const std::string kLong(200000, 'x');  // spans several buffers

const LineCase kLineCases[] = {
    {"CrLfAndLfEndLinesALoneCrStays",
     "one\r\ntwo\nthr\ree\r\n",
     LineReader::kMaxLine,
     {{"one", Status::kGood, 1},
      {"two", Status::kGood, 2},
      {"thr\ree", Status::kGood, 3},
      {"", Status::kEndOfFile, 3}}},
    {"CrBeforeCrLfStays",
     "a\r\r\n",
     LineReader::kMaxLine,
     {{"a\r", Status::kGood, 1}, {"", Status::kEndOfFile, 1}}},
    {"LastLineWithoutLineFeedIsTheEnd",
     "a\nlast\r",
     LineReader::kMaxLine,
     {{"a", Status::kGood, 1}, {"last\r", Status::kEndOfFile, 2}}},
    {"LineOf1023CharactersIsWhole",
     k1023 + "\r\nnext\n",
     LineReader::kMaxLine,
     {{k1023, Status::kGood, 1},
      {"next", Status::kGood, 2},
      {"", Status::kEndOfFile, 2}}},
    {"LongerLineDeliversItsStartAndFails",
     std::string(1024, 'b') + "\nnext\n",
     LineReader::kMaxLine,
     {{std::string(1023, 'b'), Status::kFailed, 1}}},
    {"LoneCrAfter1023CharactersMakesItLonger",
     k1023 + "\rz\n",
     LineReader::kMaxLine,
     {{k1023, Status::kFailed, 1}}},
    {"OverlongLastLineFails",
     "ok\n" + k1023 + "\r",
     LineReader::kMaxLine,
     {{"ok", Status::kGood, 1}, {k1023, Status::kFailed, 2}}},
    {"EmptyFileIsAtItsEndAtOnce",
     "",
     LineReader::kMaxLine,
     {{"", Status::kEndOfFile, 0}}},
    {"OwnLimit",
     "abcd\nabcde\n",
     4,
     {{"abcd", Status::kGood, 1}, {"abcd", Status::kFailed, 2}}},
    {"NoLimitAcrossBuffers",
     kLong + "\r\n" + kLong,
     LineReader::kNoLimit,
     {{kLong, Status::kGood, 1}, {kLong, Status::kEndOfFile, 2}}},
};

class LineReaderTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineReaderTest, ReadsLikeALineBuffer) {
  EXPECT_EQ(ReadAll(GetParam().bytes, GetParam().limit), GetParam().reads);
}

INSTANTIATE_TEST_SUITE_P(Files, LineReaderTest, ::testing::ValuesIn(kLineCases),
                         [](const ::testing::TestParamInfo<LineCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(LineReaderErrorTest, AReadErrorEndsTheFileAndIsTold) {
  TempDir dir;
  WriteFile(dir.File("in.txt"), "one\ntwo\n");
  Operations ops = Current();
  ops.readFile = [](File, char*, std::size_t) -> long { return -1; };
  ScopedOperations scoped(ops);
  LineReader reader;
  ASSERT_TRUE(reader.Open(dir.File("in.txt")));
  std::string line;
  EXPECT_EQ(reader.ReadLine(&line), Status::kEndOfFile);
  EXPECT_TRUE(reader.ReadFailed());
}

TEST(LineReaderErrorTest, MissingFileCannotBeOpened) {
  TempDir dir;
  LineReader reader;
  EXPECT_FALSE(reader.Open(dir.File("missing")));
  std::string line = "stale";
  EXPECT_NE(reader.ReadLine(&line), Status::kGood);
  EXPECT_EQ(line, "");
}

}  // namespace
}  // namespace ostrivel::platform
