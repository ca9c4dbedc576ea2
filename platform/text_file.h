#ifndef OSTRIVEL_PLATFORM_TEXT_FILE_H_
#define OSTRIVEL_PLATFORM_TEXT_FILE_H_

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace ostrivel::platform {

// Writes a text file whose bytes are the same on every platform: each "\n"
// becomes CR LF. Other processes may read and write the file meanwhile.
// Text is gathered in a buffer and reaches the file on Flush(), when the
// buffer is full, or on Close(). Errors are not reported beyond Open().
class TextFileWriter {
 public:
  enum class Mode {
    kAppend,    // keeps existing content; creates a missing file
    kTruncate,  // creates the file or empties it
  };

  TextFileWriter() = default;
  ~TextFileWriter();  // closes the file
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  // Returns false when the file cannot be opened or created (a missing
  // directory is not created). Closes a file opened before.
  bool Open(const std::string& path, Mode mode);
  bool IsOpen() const { return file_ != nullptr; }

  // Appends "text", "\n" written as CR LF. Ignored when not open.
  void Write(std::string_view text);
  // Appends "text" as it stands. The fast path for pieces of a line.
  // REQUIRES: "text" holds no "\n".
  void WritePiece(std::string_view text) {
    if (text.size() < kBufferSize - used_) {
      std::memcpy(buffer_.get() + used_, text.data(), text.size());
      used_ += text.size();
    } else {
      Append(text.data(), text.size());
    }
  }
  // Ends the line: the same as Write("\n").
  void EndLine() { WritePiece("\r\n"); }
  // Hands the buffered bytes to the operating system.
  void Flush();
  // Flushes and closes. Safe to call when not open.
  void Close();

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  // Appends bytes through the buffer; ignored when not open.
  void Append(const char* data, std::size_t size);

  std::FILE* file_ = nullptr;
  // kBufferSize bytes while open; "used_" of them are waiting. While not
  // open, used_ is kBufferSize so that every piece takes the slow path.
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = kBufferSize;
};

// Opens "path" in "mode", writes "text" and closes it again. Returns false
// when the file cannot be opened.
bool WriteTextFile(const std::string& path, TextFileWriter::Mode mode,
                   std::string_view text);

// Reads a text file line by line the way a 1024-character line buffer does:
// - a line ends at LF, which is consumed; a CR right before it is dropped;
// - a line of up to 1023 characters is read whole and the reader stays good;
// - a longer line delivers its first 1023 characters and fails the reader;
// - a last line without LF is delivered but reported as the end of the file
//   (kEndOfFile), as is a read that finds nothing more (with an empty line).
// Once the reader is not good, every further read delivers an empty line.
class LineReader {
 public:
  static constexpr std::size_t kMaxLine = 1023;

  enum class Status { kGood, kEndOfFile, kFailed };

  LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Returns false when the file cannot be opened for reading.
  bool Open(const std::string& path);
  void Close();

  // Reads the next line into "*line" and returns the reader's state after
  // the read.
  Status ReadLine(std::string* line);
  bool Good() const { return status_ == Status::kGood; }

 private:
  int Next();  // next byte with CR LF folded into LF, or EOF
  std::FILE* file_ = nullptr;
  Status status_ = Status::kGood;
  int pending_ = EOF - 1;  // a byte read ahead, when not EOF - 1
};

}  // namespace ostrivel::platform

#endif  // OSTRIVEL_PLATFORM_TEXT_FILE_H_
