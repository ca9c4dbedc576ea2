#include "coverage/decode.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>

#include "formats/names.h"

namespace ostrivel::coverage {
namespace {

using boost::json::error_code;
using JsonView = boost::json::string_view;

// Receives the parser's events and fills a MessageContent as they arrive, so
// that the counts go straight into their vectors without a document tree in
// between. Every event first asks which role the value it belongs to plays;
// a value in a role it cannot fill refuses the whole answer.
class MessageHandler {
 public:
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);

  explicit MessageHandler(MessageContent* content) : content_(content) {
    frames_.reserve(boost::json::parse_options().max_depth + 1);
  }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code& ec) {
    return timestampFound_ ? true : Refuse(ec);
  }

  bool on_object_begin(error_code& ec) {
    switch (Role()) {
      case Slot::kRoot:
        frames_.push_back(Frame::kMessage);
        return true;
      case Slot::kData:
        content_->hasData = true;
        frames_.push_back(Frame::kData);
        return true;
      case Slot::kIgnored:
        frames_.push_back(Frame::kIgnored);
        return true;
      default:
        return Refuse(ec);
    }
  }
  bool on_object_end(std::size_t, error_code&) {
    frames_.pop_back();
    return true;
  }

  bool on_array_begin(error_code& ec) {
    switch (Role()) {
      case Slot::kApplication: {
        auto [entry, inserted] = content_->data.try_emplace(name_);
        // A later member of the same name is still checked, then dropped.
        counts_ = inserted ? &entry->second : nullptr;
        frames_.push_back(Frame::kCounts);
        return true;
      }
      case Slot::kIgnored:
        frames_.push_back(Frame::kIgnored);
        return true;
      default:
        return Refuse(ec);
    }
  }
  bool on_array_end(std::size_t, error_code&) {
    frames_.pop_back();
    return true;
  }

  bool on_key_part(JsonView s, std::size_t, error_code&) {
    if (frames_.back() != Frame::kIgnored) key_.append(s.data(), s.size());
    return true;
  }
  bool on_key(JsonView s, std::size_t, error_code&) {
    Frame frame = frames_.back();
    if (frame == Frame::kIgnored) return true;
    key_.append(s.data(), s.size());
    if (frame == Frame::kMessage) {
      member_ = Member::kOther;
      if (!timestampClaimed_ && key_ == "timestamp") {
        timestampClaimed_ = true;
        member_ = Member::kTimestamp;
      } else if (!dataClaimed_ && key_ == "data") {
        dataClaimed_ = true;
        member_ = Member::kData;
      }
    } else {
      formats::ReplaceLineBreaks(key_);
      name_.swap(key_);
    }
    key_.clear();
    return true;
  }

  bool on_string_part(JsonView s, std::size_t, error_code& ec) {
    switch (Role()) {
      case Slot::kTimestamp:
        content_->timestamp.append(s.data(), s.size());
        return true;
      case Slot::kIgnored:
        return true;
      default:
        return Refuse(ec);
    }
  }
  bool on_string(JsonView s, std::size_t n, error_code& ec) {
    if (!on_string_part(s, n, ec)) return false;
    if (Role() == Slot::kTimestamp) timestampFound_ = true;
    return true;
  }

  bool on_number_part(JsonView, error_code&) { return true; }
  bool on_int64(std::int64_t value, JsonView, error_code& ec) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return Scalar(ec);
    }
    return Count(static_cast<std::int32_t>(value), ec);
  }
  bool on_uint64(std::uint64_t value, JsonView, error_code& ec) {
    if (value > std::uint64_t{std::numeric_limits<std::int32_t>::max()}) {
      return Scalar(ec);
    }
    return Count(static_cast<std::int32_t>(value), ec);
  }
  bool on_double(double value, JsonView, error_code& ec) {
    // An integral value written with a fraction or an exponent (3.0, 3e2)
    // is still a count; NaN fails both comparisons.
    if (!(value >= -2147483648.0 && value <= 2147483647.0) ||
        std::trunc(value) != value) {
      return Scalar(ec);
    }
    return Count(static_cast<std::int32_t>(value), ec);
  }
  bool on_bool(bool, error_code& ec) { return Scalar(ec); }
  bool on_null(error_code& ec) { return Scalar(ec); }

  bool on_comment_part(JsonView, error_code&) { return true; }
  bool on_comment(JsonView, error_code&) { return true; }

 private:
  // What an open container holds.
  enum class Frame : unsigned char { kMessage, kData, kCounts, kIgnored };
  // Which top-level member the value after the last key belongs to.
  enum class Member : unsigned char { kTimestamp, kData, kOther };
  // The role of the value that an event starts or continues.
  enum class Slot : unsigned char {
    kRoot,
    kTimestamp,
    kData,
    kApplication,
    kCount,
    kIgnored,
  };

  Slot Role() const {
    if (frames_.empty()) return Slot::kRoot;
    switch (frames_.back()) {
      case Frame::kMessage:
        if (member_ == Member::kTimestamp) return Slot::kTimestamp;
        if (member_ == Member::kData) return Slot::kData;
        return Slot::kIgnored;
      case Frame::kData:
        return Slot::kApplication;
      case Frame::kCounts:
        return Slot::kCount;
      case Frame::kIgnored:
        break;
    }
    return Slot::kIgnored;
  }

  bool Count(std::int32_t value, error_code& ec) {
    Slot slot = Role();
    if (slot == Slot::kIgnored) return true;
    if (slot != Slot::kCount) return Refuse(ec);
    if (counts_ != nullptr) counts_->push_back(value);
    return true;
  }

  // A scalar that is no valid count: fine only where nothing reads it.
  bool Scalar(error_code& ec) {
    return Role() == Slot::kIgnored ? true : Refuse(ec);
  }

  static bool Refuse(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  MessageContent* content_;
  std::vector<Frame> frames_;
  Member member_ = Member::kOther;
  bool timestampClaimed_ = false;
  bool timestampFound_ = false;
  bool dataClaimed_ = false;
  std::string key_;   // the key being read, when it can matter
  std::string name_;  // the application whose counts come next
  CoverageVector* counts_ = nullptr;
};

}  // namespace

std::optional<MessageContent> DecodeMessage(std::string_view body) {
  try {
    MessageContent content;
    boost::json::parse_options options;
    // Names are byte strings: a service on another code page keeps its rows.
    options.allow_invalid_utf8 = true;
    boost::json::basic_parser<MessageHandler> parser(options, &content);
    error_code ec;
    std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
    // The parser stops after the first complete value; anything it leaves
    // unread is a second value or garbage.
    if (ec || used != body.size()) return std::nullopt;
    return content;
  } catch (const std::exception&) {
    // Out of memory while filling the counts: the answer is lost whole
    // rather than evaluated in part.
    return std::nullopt;
  }
}

}  // namespace ostrivel::coverage
