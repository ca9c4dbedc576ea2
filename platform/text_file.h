#ifndef OSTRIVEL_PLATFORM_TEXT_FILE_H_
#define OSTRIVEL_PLATFORM_TEXT_FILE_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/operations.h"

namespace ostrivel::platform {

// Writes a text file whose bytes are the same on every platform: each "\n"
// becomes CR LF. Other processes may read and write the file meanwhile.
// Text is gathered in a buffer and reaches the file on Flush(), when the
// buffer is full, or on Close(). Only regular files and character devices
// are opened (see Operations::openFile).
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
  // Flushes and closes. Returns true when every byte written since Open()
  // reached the file and the close succeeded; false when not open. After a
  // failed write the rest of the text is dropped.
  bool Close();

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  // Appends bytes through the buffer; ignored when not open.
  void Append(const char* data, std::size_t size);
  void WriteOut(const char* data, std::size_t size);

  File file_ = kNoFile;
  bool failed_ = false;
  // kBufferSize bytes while open; "used_" of them are waiting. While not
  // open, used_ is kBufferSize so that every piece takes the slow path.
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = kBufferSize;
};

enum class AppendStatus {
  kWritten,      // every byte reached the file
  kOpenFailed,   // the file could not be opened; nothing was written
  kWriteFailed,  // a write or the close failed
};

// Appends "text" to "*out" with each "\n" as CR LF.
void AppendCrLf(std::string_view text, std::string* out);

// Appends "bytes" as they stand to the file at "path" in one write, so that
// bytes appended by other processes never land inside them.
//
// When the write fails part way, the bytes it left are cut off again unless
// the file has meanwhile grown by more than them (another writer appended).
// "*lineOpen", when given, records that bytes without their line end are
// left in the file: it is set then, and cleared by a later append that
// reaches the file whole; while it is set, bytes appended to a file that is
// not empty are preceded by CR LF, so that they start on a line of their
// own. A failed close counts as such bytes, since what reached the file is
// not known.
AppendStatus AppendToFile(const std::string& path, std::string_view bytes,
                          bool* lineOpen = nullptr);

// Reads a text file line by line the way a 1024-character line buffer does:
// - a line ends at LF, which is consumed; a CR right before it is dropped;
// - a line of up to 1023 characters is read whole and the reader stays good;
// - a longer line delivers its first 1023 characters and fails the reader;
// - a last line without LF is delivered but reported as the end of the file
//   (kEndOfFile), as is a read that finds nothing more (with an empty line).
// Once the reader is not good, every further read delivers an empty line.
// A reader constructed with another limit (kNoLimit for none) applies that
// limit instead of 1023.
//
// The file ends where it ended when it was opened: what is appended while
// it is read is not read (a device holds nothing). A read error ends the
// file as well, as it ends a C stream; ReadFailed() tells the two apart.
// Memory stays within a fixed buffer and the line being read.
class LineReader {
 public:
  static constexpr std::size_t kMaxLine = 1023;
  static constexpr std::size_t kNoLimit = SIZE_MAX / 2;

  enum class Status { kGood, kEndOfFile, kFailed };

  explicit LineReader(std::size_t maxLine = kMaxLine) : maxLine_(maxLine) {}
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Returns false when the file cannot be opened for reading (see
  // Operations::openFile for what is refused).
  bool Open(const std::string& path);
  void Close();

  // Reads the next line into "*line" and returns the reader's state after
  // the read.
  Status ReadLine(std::string* line);
  bool Good() const { return status_ == Status::kGood; }
  // Whether the file ended early because a read failed.
  bool ReadFailed() const { return readFailed_; }
  // The number of lines delivered since Open(), the last one without its LF
  // and a cut over-long one included: the 1-based number of the last line.
  std::uint64_t LineNumber() const { return lineNumber_; }

 private:
  static constexpr std::size_t kBufferSize = 64 * 1024;
  // Refills the buffer; false at the end of the file.
  bool Fill();
  // Ends an over-long line: cuts it to the limit and fails the reader.
  Status Overlong(std::string* line);

  std::size_t maxLine_;
  File file_ = kNoFile;
  Status status_ = Status::kGood;
  bool readFailed_ = false;
  std::uint64_t lineNumber_ = 0;
  std::uint64_t left_ = 0;  // bytes of the file not yet in the buffer
  std::unique_ptr<char[]> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace ostrivel::platform

#endif  // OSTRIVEL_PLATFORM_TEXT_FILE_H_
