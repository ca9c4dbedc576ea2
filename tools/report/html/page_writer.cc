#include "tools/report/html/page_writer.h"

#include <cerrno>

namespace ostrivel::report {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence that starts "text" with a
// byte >= 0x80, or 0 when there is none (overlong forms, surrogates and code
// points above U+10FFFF are not well formed).
std::size_t SequenceLength(std::string_view text) {
  auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Calls "ascii(byte)" for each ASCII byte and "wide(sequence)" for each
// well-formed multi-byte sequence; every other byte becomes U+FFFD.
template <typename Ascii, typename Wide>
void ForEachCharacter(std::string_view text, Ascii ascii, Wide wide) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ascii(text[i], i);
      ++i;
      continue;
    }
    std::size_t length = SequenceLength(text.substr(i));
    if (length == 0) {
      wide(kReplacement);
      ++i;
    } else {
      wide(text.substr(i, length));
      i += length;
    }
  }
}

}  // namespace

void AppendHtmlText(std::string_view text, std::string* out) {
  ForEachCharacter(
      text,
      [&](char c, std::size_t) {
        switch (c) {
          case '&':
            out->append("&amp;");
            break;
          case '<':
            out->append("&lt;");
            break;
          case '>':
            out->append("&gt;");
            break;
          case '"':
            out->append("&quot;");
            break;
          case '\'':
            out->append("&#39;");
            break;
          // The parser would drop or replace it anyway.
          case '\0':
            out->append(kReplacement);
            break;
          default:
            out->push_back(c);
        }
      },
      [&](std::string_view sequence) { out->append(sequence); });
}

void AppendJsonString(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  ForEachCharacter(
      text,
      [&](char c, std::size_t i) {
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (c) {
          case '"':
            out->append("\\\"");
            return;
          case '\\':
            out->append("\\\\");
            return;
          case '\n':
            out->append("\\n");
            return;
          case '\r':
            out->append("\\r");
            return;
          case '\t':
            out->append("\\t");
            return;
          // "</script" would end the element; "<!--" would make the parser
          // look for a nested script.
          case '<':
            if (next == '/') {
              out->append("<\\");  // the '/' follows as usual
              return;
            }
            if (next == '!') {
              out->append("\\u003c");
              return;
            }
            break;
          default:
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[(c >> 4) & 0xF]);
          out->push_back(kHex[c & 0xF]);
        } else {
          out->push_back(c);
        }
      },
      [&](std::string_view sequence) {
        // Line and paragraph separators end lines in older script parsers.
        if (sequence == "\xE2\x80\xA8") {
          out->append("\\u2028");
        } else if (sequence == "\xE2\x80\xA9") {
          out->append("\\u2029");
        } else {
          out->append(sequence);
        }
      });
  out->push_back('"');
}

PageWriter::PageWriter(std::FILE* file) : file_(file) {
  buffer_.reserve(kBufferSize + (kBufferSize >> 2));
}

bool PageWriter::Flush() {
  if (error_ == 0 && !buffer_.empty() &&
      std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
    error_ = errno != 0 ? errno : EIO;
  }
  buffer_.clear();
  return error_ == 0;
}

}  // namespace ostrivel::report
