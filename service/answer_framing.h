#ifndef OSTRIVEL_SERVICE_ANSWER_FRAMING_H_
#define OSTRIVEL_SERVICE_ANSWER_FRAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// The framing of the service's answers: where the "Content-Length" value,
// the end of the header and the JSON body lie in a text that arrives in
// pieces. Pure text work, no sockets and no log.

namespace ostrivel::service {

// The request text for "content": an HTTP/1.1 POST in absolute form
// ("POST http://<host>:<port> HTTP/1.1"), the headers "Host", "Content-
// Encoding", "Content-Type" and "Content-Length", the blank line and
// "content" itself. "port" is written as configured, in decimal.
std::string ComposeRequest(std::string_view host, std::int32_t port,
                           std::string_view content);

// Finds a needle in a text that only grows. Each call searches only what
// arrived since the last one (plus the needle's length less one, so that a
// needle split across two pieces is found): n bytes cost O(n) in all.
class GrowingFind {
 public:
  explicit GrowingFind(std::string_view needle) : needle_(needle) {}

  // The position of the first occurrence in "text", or npos. "text" must
  // extend the text of earlier calls.
  std::size_t In(std::string_view text);

 private:
  std::string_view needle_;
  std::size_t from_ = 0;
  std::size_t found_ = std::string_view::npos;
};

// An answer as it arrives, with the searches that the exchange needs. All
// searches resume where they stopped; none rescans the whole text.
class AnswerText {
 public:
  static constexpr std::size_t npos = std::string::npos;

  // Appends one received piece. "dropped" counts the bytes that arrived
  // behind the piece but are not part of the text (those from a zero byte
  // on); they still count toward the body that WholeBodyArrived() expects.
  void Append(std::string_view piece, std::size_t dropped = 0);
  const std::string& text() const { return text_; }
  // Hands the text over from "position" on; the object is empty afterwards.
  std::string TakeTextFrom(std::size_t position) {
    std::string taken = std::move(text_);
    taken.erase(0, position);
    text_.clear();
    return taken;
  }

  // Advances the reading of the first "Content-Length" header (the name is
  // compared case-sensitively, anywhere in the text): the next ":" behind
  // the name, any blanks (the character blank only), then decimal digits.
  // Returns true once the value is complete, that is once a character other
  // than a digit follows the digits (or follows the blanks, when there are
  // no digits). Until then, more text may change the value.
  bool ContentLengthRead();
  // The value read so far: 0 without digits or without the header. Too
  // large a value saturates at the largest std::size_t.
  std::size_t ContentLength() const { return value_; }

  // The position of the first "{", or npos.
  std::size_t FindBrace() { return brace_.In(text_); }
  // True when a "<" has arrived.
  bool HasAngle() { return angle_.In(text_) != npos; }
  // True when the header has ended (at the first empty line, LF or CR LF
  // line ends) and at least "contentLength" bytes have arrived behind it:
  // no more bytes of this answer are due.
  bool WholeBodyArrived(std::size_t contentLength);

 private:
  enum class Stage { kName, kColon, kBlanks, kDigits, kDone };

  std::string text_;

  Stage stage_ = Stage::kName;
  GrowingFind name_{"Content-Length"};
  std::size_t cursor_ = 0;
  std::size_t value_ = 0;

  GrowingFind brace_{"{"};
  GrowingFind angle_{"<"};
  GrowingFind blankLineLf_{"\n\n"};
  GrowingFind blankLineCrLf_{"\n\r\n"};
  std::size_t bodyStart_ = npos;
  std::size_t bodyDropped_ = 0;

  // Finds the end of the header once; returns false while it is unknown.
  bool FindBodyStart();
};

}  // namespace ostrivel::service

#endif  // OSTRIVEL_SERVICE_ANSWER_FRAMING_H_
