#include "service/answer_framing.h"

#include <charconv>
#include <limits>

namespace ostrivel::service {

std::string ComposeRequest(std::string_view host, std::int32_t port,
                           std::string_view content) {
  char portText[16];
  char* portEnd =
      std::to_chars(portText, portText + sizeof(portText), port).ptr;
  char lengthText[24];
  char* lengthEnd =
      std::to_chars(lengthText, lengthText + sizeof(lengthText), content.size())
          .ptr;

  std::string request;
  request.reserve(160 + 2 * host.size() + content.size());
  request += "POST http://";
  request += host;
  request += ':';
  request.append(portText, portEnd);
  request += " HTTP/1.1\r\n";
  request += "Host: ";
  request += host;
  request += "\r\n";
  request += "Content-Encoding: identity\r\n";
  request += "Content-Type: application/json\r\n";
  request += "Content-Length: ";
  request.append(lengthText, lengthEnd);
  request += "\r\n";
  request += "\r\n";
  request += content;
  return request;
}

std::size_t GrowingFind::In(std::string_view text) {
  if (found_ != std::string_view::npos || needle_.empty()) return found_;
  std::size_t position = text.find(needle_, from_);
  if (position != std::string_view::npos) {
    found_ = position;
    return found_;
  }
  // The needle may have begun in the last needle_.size() - 1 bytes.
  std::size_t keep = needle_.size() - 1;
  if (text.size() > keep && text.size() - keep > from_) {
    from_ = text.size() - keep;
  }
  return found_;
}

bool AnswerText::ContentLengthRead() {
  static constexpr std::size_t kNameLength = sizeof("Content-Length") - 1;
  static constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const std::size_t size = text_.size();
  for (;;) {
    switch (stage_) {
      case Stage::kName: {
        std::size_t name = name_.In(text_);
        if (name == npos) return false;
        cursor_ = name + kNameLength;
        stage_ = Stage::kColon;
        break;
      }
      case Stage::kColon: {
        std::size_t colon = text_.find(':', cursor_);
        if (colon == npos) {
          cursor_ = size;
          return false;
        }
        cursor_ = colon + 1;
        stage_ = Stage::kBlanks;
        break;
      }
      case Stage::kBlanks:
        while (cursor_ < size && text_[cursor_] == ' ') ++cursor_;
        if (cursor_ == size) return false;
        stage_ = Stage::kDigits;
        break;
      case Stage::kDigits:
        while (cursor_ < size && text_[cursor_] >= '0' &&
               text_[cursor_] <= '9') {
          auto digit = static_cast<std::size_t>(text_[cursor_] - '0');
          // A value beyond the type saturates: wrapping it would turn a
          // huge length into a small one and cut the body short.
          value_ = value_ > (kMax - digit) / 10 ? kMax : value_ * 10 + digit;
          ++cursor_;
        }
        if (cursor_ == size) return false;
        stage_ = Stage::kDone;
        break;
      case Stage::kDone:
        return true;
    }
  }
}

void AnswerText::Append(std::string_view piece, std::size_t dropped) {
  text_.append(piece);
  // The dropped bytes lay at the end of this piece: behind the header's end
  // when that has arrived by now, within the header otherwise.
  if (dropped > 0 && FindBodyStart()) bodyDropped_ += dropped;
}

bool AnswerText::FindBodyStart() {
  if (bodyStart_ != npos) return true;
  std::size_t lf = blankLineLf_.In(text_);
  std::size_t crLf = blankLineCrLf_.In(text_);
  if (lf != npos && (crLf == npos || lf < crLf)) {
    bodyStart_ = lf + 2;
  } else if (crLf != npos) {
    bodyStart_ = crLf + 3;
  } else {
    return false;
  }
  return true;
}

bool AnswerText::WholeBodyArrived(std::size_t contentLength) {
  if (!FindBodyStart()) return false;
  // Bytes dropped behind a zero byte have arrived all the same: without
  // them in the count, an answer that came whole would be waited for until
  // the service ends the connection.
  return text_.size() - bodyStart_ + bodyDropped_ >= contentLength;
}

}  // namespace ostrivel::service
