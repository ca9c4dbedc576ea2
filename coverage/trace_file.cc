#include "coverage/trace_file.h"

#include <charconv>
#include <cstddef>

#include "formats/trace_format.h"
#include "log/log.h"
#include "platform/operations.h"
#include "platform/text_file.h"

namespace ostrivel::coverage {
namespace {

using log::LogLevel;
using log::WriteLog;

// "<error>" on standard error, "<error> (Path: "<path>")" at level 2.
void Report(const char* error, const std::string& path) {
  platform::Current().writeError(std::string(error) + "\n");
  WriteLog(LogLevel::Error, error, " (Path: \"", path, "\")");
}

}  // namespace

void TracePath(const std::string& application,
               const CoverageVector& coverageVector,
               const std::string& traceLocation,
               const MethodLists& methodLists) {
  WriteLog(LogLevel::Debug, "TracePath method.");
  auto found = methodLists.find(application);
  if (found == methodLists.end()) {
    WriteLog(LogLevel::Error, "\"", application,
             "\" application's method list didn't load!");
    return;
  }
  const MethodList& methods = found->second;
  if (methods.size() != coverageVector.size()) {
    WriteLog(LogLevel::Error,
             "Size of the loaded and the received method list are not equal "
             "in \"",
             application, "\"! (loaded list size:", methods.size(),
             ", recieved list size:", coverageVector.size(), ")");
    return;
  }

  platform::TextFileWriter file;
  if (!file.Open(traceLocation, platform::TextFileWriter::Mode::kTruncate)) {
    Report("Unable to open trace-file!", traceLocation);
    return;
  }
  file.WritePiece(formats::kTraceHeader);
  file.EndLine();
  char number[16];
  for (std::size_t i = 0; i < coverageVector.size(); ++i) {
    std::int32_t count = coverageVector[i];
    if (count == 0) continue;
    // A method line never holds a line feed: the reader split the file
    // there.
    file.WritePiece(methods[i]);
    file.WritePiece(";");
    auto result = std::to_chars(number, number + sizeof(number), count);
    file.WritePiece(std::string_view(
        number, static_cast<std::size_t>(result.ptr - number)));
    file.EndLine();
  }
  // One flush for the whole file: its bytes are complete only now.
  if (!file.Close()) Report("Unable to write trace-file!", traceLocation);
}

}  // namespace ostrivel::coverage
