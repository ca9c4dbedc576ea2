#include "tools/collection_service/service_log.h"

#include <time.h>

#include <cstdio>
#include <utility>

namespace ostrivel::collection {
namespace {

// The length of the valid UTF-8 sequence that starts "text", or 0.
std::size_t Utf8Length(std::string_view text) {
  auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  unsigned char lead = byte(0);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  // U+0080 to U+009F are the C1 controls, which some terminals obey.
  if (lead == 0xC2 && byte(1) <= 0x9F) return 0;
  return length;
}

void AppendHexEscape(unsigned char byte, std::string* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  *out += "\\x";
  *out += kDigits[byte >> 4];
  *out += kDigits[byte & 0xF];
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      std::size_t length = Utf8Length(text.substr(i));
      if (length == 0) {
        AppendHexEscape(byte, &out);
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (byte) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          AppendHexEscape(byte, &out);
        } else {
          out += static_cast<char>(byte);
        }
    }
    ++i;
  }
  return out;
}

std::string FormatTimestamp(std::chrono::system_clock::time_point time) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  auto sinceEpoch = duration_cast<milliseconds>(time.time_since_epoch());
  auto seconds = static_cast<time_t>(sinceEpoch.count() / 1000);
  auto millis = static_cast<int>(sinceEpoch.count() % 1000);
  if (millis < 0) {  // before 1970: floor, not truncate
    millis += 1000;
    --seconds;
  }
  struct tm local {};
  ::localtime_r(&seconds, &local);
  char text[48];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d.%03d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, millis);
  return text;
}

AnswerClock::AnswerClock(const WallClock& wall, SteadyClock steady)
    : steady_(std::move(steady)),
      wallAnchor_(wall()),
      steadyAnchor_(steady_()) {}

std::chrono::system_clock::time_point AnswerClock::Now() const {
  return wallAnchor_ +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             steady_() - steadyAnchor_);
}

std::chrono::system_clock::time_point AnswerClockNow() {
  static const AnswerClock clock;
  return clock.Now();
}

ServiceLog::ServiceLog() : file_(stderr) {}

ServiceLog::~ServiceLog() {
  if (owned_) std::fclose(file_);
}

bool ServiceLog::OpenFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (owned_) std::fclose(file_);
  file_ = file;
  owned_ = true;
  return true;
}

void ServiceLog::Silence() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (owned_) std::fclose(file_);
  file_ = nullptr;
  owned_ = false;
}

void ServiceLog::Write(std::string_view level, std::string_view message) {
  std::string line = FormatTimestamp(std::chrono::system_clock::now());
  line += ' ';
  line += level;
  line += ' ';
  line += EscapeForLog(message);
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace ostrivel::collection
