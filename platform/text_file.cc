#include "platform/text_file.h"

#include <cstring>

namespace ostrivel::platform {
namespace {

constexpr int kNothingPending = EOF - 1;

}  // namespace

TextFileWriter::~TextFileWriter() { Close(); }

bool TextFileWriter::Open(const std::string& path, Mode mode) {
  Close();
  // Binary mode: the CR LF translation is ours, so that the bytes are the
  // same on every platform.
  file_ = std::fopen(path.c_str(), mode == Mode::kAppend ? "ab" : "wb");
  if (file_ == nullptr) return false;
  // The buffer is ours; a second one in the stream would only copy again.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // Not value-initialised: the bytes are written before they are read.
  if (!buffer_) buffer_.reset(new char[kBufferSize]);
  used_ = 0;
  return true;
}

void TextFileWriter::Write(std::string_view text) {
  if (file_ == nullptr) return;
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      Append(text.data() + start, text.size() - start);
      return;
    }
    Append(text.data() + start, lf - start);
    Append("\r\n", 2);
    start = lf + 1;
  }
}

void TextFileWriter::Append(const char* data, std::size_t size) {
  if (file_ == nullptr) return;
  if (size > kBufferSize - used_) {
    Flush();
    if (size > kBufferSize) {
      std::fwrite(data, 1, size, file_);
      return;
    }
  }
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
}

void TextFileWriter::Flush() {
  if (file_ == nullptr) return;
  if (used_ > 0) {
    std::fwrite(buffer_.get(), 1, used_, file_);
    used_ = 0;
  }
  std::fflush(file_);
}

void TextFileWriter::Close() {
  if (file_ == nullptr) return;
  Flush();
  std::fclose(file_);
  file_ = nullptr;
  used_ = kBufferSize;
}

bool WriteTextFile(const std::string& path, TextFileWriter::Mode mode,
                   std::string_view text) {
  TextFileWriter writer;
  if (!writer.Open(path, mode)) return false;
  writer.Write(text);
  writer.Close();
  return true;
}

LineReader::~LineReader() { Close(); }

bool LineReader::Open(const std::string& path) {
  Close();
  file_ = std::fopen(path.c_str(), "rb");
  status_ = Status::kGood;
  pending_ = kNothingPending;
  return file_ != nullptr;
}

void LineReader::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

int LineReader::Next() {
  int c;
  if (pending_ != kNothingPending) {
    c = pending_;
    pending_ = kNothingPending;
  } else {
    c = std::getc(file_);
  }
  if (c != '\r') return c;
  // A text-mode stream folds CR LF into LF; a lone CR stays.
  int after = std::getc(file_);
  if (after == '\n') return '\n';
  pending_ = after;
  return '\r';
}

LineReader::Status LineReader::ReadLine(std::string* line) {
  line->clear();
  if (file_ == nullptr || status_ != Status::kGood) {
    if (file_ == nullptr) status_ = Status::kFailed;
    return status_;
  }
  for (;;) {
    int c = Next();
    if (c == EOF) {
      // Characters before the end are delivered all the same; the caller
      // decides whether a line without its LF counts.
      status_ = Status::kEndOfFile;
      return status_;
    }
    if (c == '\n') return status_;
    if (line->size() == kMaxLine) {
      // The buffer is full and the line goes on: keep the byte for a reader
      // that would go on, and fail.
      pending_ = c;
      status_ = Status::kFailed;
      return status_;
    }
    line->push_back(static_cast<char>(c));
  }
}

}  // namespace ostrivel::platform
