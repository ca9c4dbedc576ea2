#include "tools/runner/probe_warnings.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tools/printable/printable.h"

namespace ostrivel::runner {
namespace {

constexpr std::size_t kMaxBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxLines = 10;
constexpr std::size_t kMaxLineBytes = 1000;

}  // namespace

ProbeWarnings::~ProbeWarnings() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
    ::unlink(path_.c_str());
  }
}

bool ProbeWarnings::Create(std::string* error) {
  const char* directory = std::getenv("TMPDIR");
  std::string pattern =
      std::string(directory != nullptr && *directory != '\0' ? directory
                                                             : "/tmp") +
      "/ostrivel-probe-warnings-XXXXXX";
  descriptor_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (descriptor_ < 0) {
    *error =
        std::string("cannot create ") + pattern + ": " + std::strerror(errno);
    return false;
  }
  path_ = pattern;
  return true;
}

std::vector<std::string> ProbeWarnings::Take() {
  std::vector<std::string> lines;
  if (descriptor_ < 0) return lines;
  std::string text(kMaxBytes, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    ssize_t got = ::pread(descriptor_, text.data() + size, text.size() - size,
                          static_cast<off_t>(size));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  text.resize(size);
  // The probe appends with O_APPEND, so its next line starts at 0 again.
  while (::ftruncate(descriptor_, 0) != 0 && errno == EINTR) {
  }
  std::size_t start = 0;
  while (start < text.size() && lines.size() < kMaxLines) {
    std::size_t end = text.find('\n', start);
    // A last line without its LF was cut by the 64 KiB: it is left out.
    if (end == std::string::npos) break;
    std::string line = tools::Printable(std::string_view(text).substr(
        start, std::min(end - start, kMaxLineBytes)));
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) {
      lines.push_back(std::move(line));
    }
    start = end + 1;
  }
  return lines;
}

}  // namespace ostrivel::runner
