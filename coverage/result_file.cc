#include "coverage/result_file.h"

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
      std::string header(formats::kResultHeader);
      header += "\r\n";
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
