#ifndef OSTRIVEL_TOOLS_REPORT_HTML_PAGE_WRITER_H_
#define OSTRIVEL_TOOLS_REPORT_HTML_PAGE_WRITER_H_

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace ostrivel::report {

// Appends "text" to "*out" as HTML text or attribute value: &, <, >, " and '
// become references, NUL and bytes that are not valid UTF-8 become U+FFFD
// (one per byte).
void AppendHtmlText(std::string_view text, std::string* out);

// Appends "text" to "*out" as a quoted JSON string that is safe inside a
// <script> element: "</" is written "<\/", "<!" as "\u003c!", U+2028 and
// U+2029 as escapes, bytes that are not valid UTF-8 as U+FFFD.
void AppendJsonString(std::string_view text, std::string* out);

// Writes a page to an open file through a large buffer of its own.
class PageWriter {
 public:
  // "file" must stay open while this object is in use.
  explicit PageWriter(std::FILE* file);

  void Raw(std::string_view text) {
    buffer_.append(text);
    MaybeFlush();
  }
  void Text(std::string_view text) {
    AppendHtmlText(text, &buffer_);
    MaybeFlush();
  }
  void Json(std::string_view text) {
    AppendJsonString(text, &buffer_);
    MaybeFlush();
  }
  template <typename... Args>
  void Format(fmt::format_string<Args...> format, Args&&... args) {
    fmt::format_to(std::back_inserter(buffer_), format,
                   std::forward<Args>(args)...);
    MaybeFlush();
  }

  // Writes what is buffered. Returns false when any write failed so far;
  // error() is then the errno of the first failure.
  bool Flush();
  int error() const { return error_; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 20;

  void MaybeFlush() {
    if (buffer_.size() >= kBufferSize) Flush();
  }

  std::FILE* file_;
  std::string buffer_;
  int error_ = 0;
};

}  // namespace ostrivel::report

#endif  // OSTRIVEL_TOOLS_REPORT_HTML_PAGE_WRITER_H_
