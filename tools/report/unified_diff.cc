#include "tools/report/unified_diff.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include <fmt/format.h>

namespace ostrivel::report {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A path as a diff header writes it: C-style quoted when it holds unusual
// characters (git), followed by a tab and a time stamp (diff -u).
std::string HeaderPath(std::string_view text) {
  std::string path;
  if (!text.empty() && text[0] == '"') {
    for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] != '\\' || i + 1 >= text.size()) {
        path.push_back(text[i]);
        continue;
      }
      char escaped = text[++i];
      if (escaped >= '0' && escaped <= '7' && i + 2 < text.size()) {
        path.push_back(static_cast<char>((escaped - '0') * 64 +
                                         (text[i + 1] - '0') * 8 +
                                         (text[i + 2] - '0')));
        i += 2;
      } else {
        path.push_back(escaped == 't' ? '\t' : escaped == 'n' ? '\n' : escaped);
      }
    }
    return path;
  }
  return std::string(text.substr(0, text.find('\t')));
}

bool ParseNumber(std::string_view text, std::uint32_t* value) {
  if (text.empty()) return false;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

// "-START[,COUNT]" or "+START[,COUNT]"; the count is 1 when left out.
bool ParseRange(std::string_view text, char sign, std::uint32_t* start,
                std::uint32_t* count) {
  if (text.empty() || text[0] != sign) return false;
  text.remove_prefix(1);
  std::size_t comma = text.find(',');
  *count = 1;
  if (comma != std::string_view::npos) {
    if (!ParseNumber(text.substr(comma + 1), count)) return false;
    text = text.substr(0, comma);
  }
  return ParseNumber(text, start);
}

class Parser {
 public:
  explicit Parser(std::string* error) : error_(error) {}

  bool Line(std::uint64_t number, std::string_view line) {
    number_ = number;
    if (oldLeft_ > 0 || newLeft_ > 0) return HunkLine(line);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (StartsWith(line, "diff --git ")) {
      StartFile(true);
      // "a/P b/P": the halves are equal unless the file was renamed, which
      // the lines that follow tell.
      std::string_view rest = line.substr(11);
      if (rest.size() % 2 == 1) {
        std::size_t half = rest.size() / 2;
        std::string_view left = rest.substr(0, half);
        std::string_view right = rest.substr(half + 1);
        if (StartsWith(left, "a/") && StartsWith(right, "b/") &&
            left.substr(2) == right.substr(2)) {
          Current().oldPath = std::string(left.substr(2));
          Current().newPath = Current().oldPath;
        }
      }
      return true;
    }
    if (StartsWith(line, "--- ") && (!inGitHeader_ || !sawMinus_)) {
      if (!inGitHeader_) StartFile(false);
      sawMinus_ = true;
      minusPath_ = HeaderPath(line.substr(4));
      return true;
    }
    if (StartsWith(line, "+++ ") && sawMinus_ && !sawPlus_) {
      sawPlus_ = true;
      std::string plus = HeaderPath(line.substr(4));
      std::string minus = minusPath_;
      // git writes "a/" and "b/" in front; a plain diff does not.
      if (StartsWith(minus, "a/") && StartsWith(plus, "b/")) {
        minus.erase(0, 2);
        plus.erase(0, 2);
      } else if (minus == "/dev/null" && StartsWith(plus, "b/")) {
        plus.erase(0, 2);
      } else if (plus == "/dev/null" && StartsWith(minus, "a/")) {
        minus.erase(0, 2);
      }
      Current().oldPath = minus == "/dev/null" ? "" : minus;
      Current().newPath = plus == "/dev/null" ? "" : plus;
      return true;
    }
    if (StartsWith(line, "@@ ")) return HunkHeader(line);
    if (StartsWith(line, "Binary files ")) {
      BinaryFiles(line);
      return true;
    }
    if (inGitHeader_) GitHeaderLine(line);
    // Anything else lies between the file sections: a commit message, an
    // "index" line, the lines of a binary patch.
    return true;
  }

  bool Finish() {
    if (oldLeft_ > 0 || newLeft_ > 0) {
      *error_ = fmt::format("line {}: the diff ends inside a hunk of \"{}\"",
                            number_, Current().Path());
      return false;
    }
    for (FileChange& file : files_) {
      for (auto* lines : {&file.changed, &file.insertedAfter}) {
        std::sort(lines->begin(), lines->end());
        lines->erase(std::unique(lines->begin(), lines->end()), lines->end());
      }
    }
    return true;
  }

  std::vector<FileChange>& files() { return files_; }

 private:
  FileChange& Current() { return files_.back(); }

  void StartFile(bool git) {
    files_.emplace_back();
    inGitHeader_ = git;
    sawMinus_ = false;
    sawPlus_ = false;
  }

  void GitHeaderLine(std::string_view line) {
    if (StartsWith(line, "new file mode")) {
      Current().oldPath.clear();
    } else if (StartsWith(line, "deleted file mode")) {
      Current().newPath.clear();
    } else if (StartsWith(line, "rename from ") ||
               StartsWith(line, "copy from ")) {
      Current().oldPath = HeaderPath(line.substr(line.find(" from ") + 6));
    } else if (StartsWith(line, "rename to ") || StartsWith(line, "copy to ")) {
      Current().newPath = HeaderPath(line.substr(line.find(" to ") + 4));
    } else if (StartsWith(line, "GIT binary patch")) {
      Current().binary = true;
    }
  }

  // "Binary files A and B differ": git's, or a plain recursive diff's.
  void BinaryFiles(std::string_view line) {
    if (!inGitHeader_) StartFile(false);
    Current().binary = true;
    std::string_view rest = line.substr(13);
    std::size_t separator = rest.find(" and ");
    if (separator == std::string_view::npos || Current().Path().size() > 0)
      return;
    std::string_view old = rest.substr(0, separator);
    std::string_view now = rest.substr(separator + 5);
    if (now.size() >= 7 && now.substr(now.size() - 7) == " differ") {
      now.remove_suffix(7);
    }
    Current().oldPath = old == "/dev/null" ? "" : std::string(old);
    Current().newPath = now == "/dev/null" ? "" : std::string(now);
  }

  bool HunkHeader(std::string_view line) {
    if (files_.empty() || !sawPlus_) {
      *error_ = fmt::format(
          "line {}: a hunk (\"@@\") without the \"---\" and \"+++\" lines of "
          "its file",
          number_);
      return false;
    }
    std::size_t close = line.find(" @@", 3);
    std::string_view ranges =
        close == std::string_view::npos ? "" : line.substr(3, close - 3);
    std::size_t blank = ranges.find(' ');
    std::uint32_t oldStart = 0;
    std::uint32_t newStart = 0;
    if (blank == std::string_view::npos ||
        !ParseRange(ranges.substr(0, blank), '-', &oldStart, &oldLeft_) ||
        !ParseRange(ranges.substr(blank + 1), '+', &newStart, &newLeft_)) {
      *error_ = fmt::format(
          "line {}: a hunk header that is not \"@@ -START[,COUNT] "
          "+START[,COUNT] @@\": {}",
          number_, line);
      oldLeft_ = newLeft_ = 0;
      return false;
    }
    // With no old lines, START is the line the new ones follow.
    oldLine_ = oldLeft_ == 0 ? oldStart + 1 : oldStart;
    removedInBlock_ = false;
    return true;
  }

  bool HunkLine(std::string_view line) {
    char kind = line.empty() ? ' ' : line[0];
    // An empty line is a context line whose blank a mailer or editor took.
    if (kind == ' ' && oldLeft_ > 0 && newLeft_ > 0) {
      --oldLeft_;
      --newLeft_;
      ++oldLine_;
      removedInBlock_ = false;
      return true;
    }
    if (kind == '-' && oldLeft_ > 0) {
      --oldLeft_;
      Current().changed.push_back(oldLine_++);
      removedInBlock_ = true;
      return true;
    }
    if (kind == '+' && newLeft_ > 0) {
      --newLeft_;
      // Lines that replace removed ones change those; others are inserted
      // between two old lines.
      if (!removedInBlock_) Current().insertedAfter.push_back(oldLine_ - 1);
      return true;
    }
    if (kind == '\\') return true;  // "\ No newline at end of file"
    *error_ = fmt::format(
        "line {}: a hunk of \"{}\" ends early: {} old and {} new lines are "
        "missing",
        number_, Current().Path(), oldLeft_, newLeft_);
    return false;
  }

  std::string* error_;
  std::vector<FileChange> files_;
  std::uint64_t number_ = 0;
  bool inGitHeader_ = false;
  bool sawMinus_ = false;
  bool sawPlus_ = false;
  std::string minusPath_;
  std::uint32_t oldLeft_ = 0;
  std::uint32_t newLeft_ = 0;
  std::uint32_t oldLine_ = 0;
  bool removedInBlock_ = false;
};

}  // namespace

std::optional<std::vector<FileChange>> ParseUnifiedDiff(std::istream& in,
                                                        std::string* error) {
  Parser parser(error);
  std::string line;
  std::uint64_t number = 0;
  while (std::getline(in, line)) {
    if (!parser.Line(++number, line)) return std::nullopt;
  }
  if (in.bad()) {
    *error = fmt::format("line {}: the diff could not be read", number + 1);
    return std::nullopt;
  }
  if (!parser.Finish()) return std::nullopt;
  return std::move(parser.files());
}

}  // namespace ostrivel::report
