#include "platform/text_file.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace ostrivel::platform {

TextFileWriter::~TextFileWriter() { Close(); }

bool TextFileWriter::Open(const std::string& path, Mode mode) {
  Close();
  // The CR LF translation is ours, so that the bytes are the same on every
  // platform.
  file_ =
      Current().openFile(path, mode == Mode::kAppend ? FileAccess::kAppend
                                                     : FileAccess::kTruncate);
  if (file_ == kNoFile) return false;
  failed_ = false;
  // Not value-initialised: the bytes are written before they are read.
  if (!buffer_) buffer_.reset(new char[kBufferSize]);
  used_ = 0;
  return true;
}

void TextFileWriter::Write(std::string_view text) {
  if (file_ == kNoFile) return;
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
  if (file_ == kNoFile) return;
  if (size > kBufferSize - used_) {
    Flush();
    if (size > kBufferSize) {
      WriteOut(data, size);
      return;
    }
  }
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
}

void TextFileWriter::WriteOut(const char* data, std::size_t size) {
  // After a failure the file ends somewhere in the text; writing on would
  // only put later text behind a gap.
  if (failed_) return;
  if (Current().writeFile(file_, data, size) != size) failed_ = true;
}

void TextFileWriter::Flush() {
  if (file_ == kNoFile) return;
  if (used_ > 0) {
    WriteOut(buffer_.get(), used_);
    used_ = 0;
  }
}

bool TextFileWriter::Close() {
  if (file_ == kNoFile) return false;
  Flush();
  bool closed = Current().closeFile(file_);
  file_ = kNoFile;
  used_ = kBufferSize;
  return closed && !failed_;
}

void AppendCrLf(std::string_view text, std::string* out) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) break;
    out->append(text.data() + start, lf - start);
    *out += "\r\n";
    start = lf + 1;
  }
  out->append(text.data() + start, text.size() - start);
}

AppendStatus AppendToFile(const std::string& path, std::string_view bytes,
                          bool* lineOpen) {
  const Operations& ops = Current();
  File file = ops.openFile(path, FileAccess::kAppend);
  if (file == kNoFile) return AppendStatus::kOpenFailed;
  const std::optional<std::uint64_t> before = ops.fileSize(file);
  std::string withLineEnd;
  if (lineOpen != nullptr && *lineOpen && before.value_or(1) > 0) {
    withLineEnd.reserve(bytes.size() + 2);
    withLineEnd += "\r\n";
    withLineEnd += bytes;
    bytes = withLineEnd;
  }

  const std::size_t written = ops.writeFile(file, bytes.data(), bytes.size());
  if (written < bytes.size() && written > 0) {
    // Another writer's bytes behind ours would be cut as well; the file
    // has grown by exactly our part only when there are none.
    std::optional<std::uint64_t> after = ops.fileSize(file);
    bool cut = before && after && *after == *before + written &&
               ops.truncateFile(file, *before);
    if (!cut && lineOpen != nullptr) *lineOpen = true;
  }
  const bool closed = ops.closeFile(file);
  if (written == bytes.size() && closed) {
    if (lineOpen != nullptr) *lineOpen = false;
    return AppendStatus::kWritten;
  }
  if (written == bytes.size() && lineOpen != nullptr) *lineOpen = true;
  return AppendStatus::kWriteFailed;
}

LineReader::~LineReader() { Close(); }

bool LineReader::Open(const std::string& path) {
  Close();
  status_ = Status::kGood;
  readFailed_ = false;
  lineNumber_ = 0;
  position_ = filled_ = 0;
  const Operations& ops = Current();
  file_ = ops.openFile(path, FileAccess::kRead);
  if (file_ == kNoFile) return false;
  left_ = ops.fileSize(file_).value_or(0);
  if (!buffer_) buffer_.reset(new char[kBufferSize]);
  return true;
}

void LineReader::Close() {
  if (file_ != kNoFile) Current().closeFile(file_);
  file_ = kNoFile;
}

bool LineReader::Fill() {
  if (left_ == 0) return false;
  std::size_t wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(left_, kBufferSize));
  long n = Current().readFile(file_, buffer_.get(), wanted);
  if (n <= 0) {
    // 0 before the expected end: the file shrank meanwhile.
    readFailed_ = n < 0;
    left_ = 0;
    return false;
  }
  position_ = 0;
  filled_ = static_cast<std::size_t>(n);
  left_ -= filled_;
  return true;
}

LineReader::Status LineReader::Overlong(std::string* line) {
  line->resize(maxLine_);
  ++lineNumber_;
  status_ = Status::kFailed;
  return status_;
}

LineReader::Status LineReader::ReadLine(std::string* line) {
  line->clear();
  if (file_ == kNoFile || status_ != Status::kGood) {
    if (file_ == kNoFile) status_ = Status::kFailed;
    return status_;
  }
  for (;;) {
    if (position_ == filled_ && !Fill()) {
      // Characters before the end are delivered all the same; the caller
      // decides whether a line without its LF counts. A CR there is a lone
      // one and stays.
      if (line->size() > maxLine_) return Overlong(line);
      if (!line->empty()) ++lineNumber_;
      status_ = Status::kEndOfFile;
      return status_;
    }
    const char* start = buffer_.get() + position_;
    const std::size_t available = filled_ - position_;
    const char* lf =
        static_cast<const char*>(std::memchr(start, '\n', available));
    std::size_t take =
        lf == nullptr ? available : static_cast<std::size_t>(lf - start);
    // The line may hold one byte beyond the limit: a CR that turns out to
    // belong to the line end. Anything more is over-long whatever follows,
    // and is not read.
    const std::size_t room = maxLine_ + 1 - line->size();
    if (take > room) {
      line->append(start, room);
      position_ += room;
      return Overlong(line);
    }
    line->append(start, take);
    position_ += take;
    if (lf != nullptr) {
      ++position_;
      // CR LF is a line end; a lone CR elsewhere in the line stays.
      if (!line->empty() && line->back() == '\r') line->pop_back();
      if (line->size() > maxLine_) return Overlong(line);
      ++lineNumber_;
      return status_;
    }
  }
}

}  // namespace ostrivel::platform
