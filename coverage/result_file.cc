#include "coverage/result_file.h"

#include <charconv>

#include "harness/state.h"
#include "log/log.h"
#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::coverage {
namespace {

constexpr const char* kOpenError = "Unable to open result-file!";

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
  if (!*fileExists_) {
    // An input open is the probe: it neither creates the file nor changes
    // its time stamps.
    platform::LineReader probe;
    *fileExists_ = probe.Open(path_);
  }
  platform::TextFileWriter file;
  if (!file.Open(path_, platform::TextFileWriter::Mode::kAppend)) {
    platform::Current().writeError(std::string(kOpenError) + "\n");
    log::WriteLog(log::LogLevel::Error, kOpenError);
    return;
  }
  if (!*fileExists_) file.Write(kResultHeader);
  file.Write(piece);
  file.Close();
}

void WriteResult(std::string_view piece) {
  auto& state = harness::State();
  ResultFile(state.settings.res_location, &state.collector.resultFileExists)
      .Write(piece);
}

void WriteResultNumber(double value) { WriteResult(FormatNumber(value)); }

}  // namespace ostrivel::coverage
