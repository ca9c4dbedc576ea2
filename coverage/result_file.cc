#include "coverage/result_file.h"

#include <charconv>
#include <utility>

#include "log/log.h"
#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::coverage {
namespace {

constexpr const char* kOpenError = "Unable to open result-file!";
constexpr const char* kWriteError = "Unable to write result-file!";

void Report(const char* error) {
  platform::Current().writeError(std::string(error) + "\n");
  log::WriteLog(log::LogLevel::Error, error);
}

}  // namespace

std::string FormatNumber(double value) {
  // to_chars in general form with precision 6 gives the text of %g (and so
  // of a stream's default), without a stream or the locale.
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                              std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

void ResultFile::Write(std::string_view piece) {
  platform::AppendCrLf(piece, &row_);
}

bool ResultFile::EndRow() {
  std::string row = std::move(row_);
  row_.clear();
  row += "\r\n";
  if (!*fileExists_) {
    // An input open is the probe: it neither creates the file nor changes
    // its time stamps.
    const platform::Operations& ops = platform::Current();
    platform::File probe = ops.openFile(path_, platform::FileAccess::kRead);
    *fileExists_ = probe != platform::kNoFile;
    ops.closeFile(probe);
    if (!*fileExists_) {
      std::string header;
      platform::AppendCrLf(kResultHeader, &header);
      row.insert(0, header);
    }
  }
  switch (platform::AppendToFile(path_, row, lineOpen_)) {
    case platform::AppendStatus::kWritten:
      return true;
    case platform::AppendStatus::kOpenFailed:
      Report(kOpenError);
      return false;
    case platform::AppendStatus::kWriteFailed:
      Report(kWriteError);
      return false;
  }
  return false;
}

}  // namespace ostrivel::coverage
