// mutants: single-function mutations of C and C++ sources, as unified diffs,
// for scripts/bench-impact.
//
//   mutants --root DIR --out DIR [--seed N] [--count N] FILE...
//
// FILEs are relative to --root (they are the diffs' paths). Every mutation
// changes one line inside the body of one function definition: an integer
// constant (n becomes n + 1), a comparison (flipped to its negation), an
// arithmetic operator (+ and -, * and /, % and *, += and -= swapped) or a
// call statement (removed). --count of them (default 60; 0 for all) are
// chosen with a generator seeded by --seed (default 1), so the same sources
// and options always give the same diffs. Writes OUT/mutant-NNN.diff
// (3 lines of context, a/ and b/ prefixes: patch -p1 applies them) and
// prints one line per mutant:
//   mutant-NNN<TAB>FILE:LINE<TAB>KIND<TAB>FUNCTION
// Exit code 0; 1 when a file cannot be read or written or no mutation is
// found; 2 for a usage error.
//
// Function bodies are found the way the project's sources are laid out
// (clang-format): a definition starts in column 0 outside every brace but a
// namespace's, and ends where its braces close. Binary operators are told
// from template brackets, pointers and unary signs by the spaces around
// them. Comments, string and character literals are never changed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Source {
  std::string path;                 // as given, relative to the root
  std::vector<std::string> lines;   // without line ends
  std::vector<std::string> masked;  // comments and literals as spaces
  bool endsWithNewline = true;
};

struct Function {
  std::size_t header = 0;  // first line of the definition
  std::size_t open = 0;    // line holding the body's "{"
  std::size_t openColumn = 0;
  std::size_t close = 0;  // line holding the body's last "}"
  std::string name;
};

struct Mutation {
  const Source* source = nullptr;
  std::size_t line = 0;  // 0-based
  std::string kind;
  std::string function;
  std::string replacement;  // the new line; "removed" lines are left out
  bool removesLine = false;
};

bool ReadSource(const std::filesystem::path& root, const std::string& path,
                Source* source) {
  std::ifstream in(root / path, std::ios::binary);
  if (!in) return false;
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string text = bytes.str();
  source->path = path;
  source->endsWithNewline = text.empty() || text.back() == '\n';
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    source->lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Blanks out comments, string and character literals (quotes included) and
// preprocessor lines, keeping every other character in its column.
void Mask(Source* source) {
  bool inBlockComment = false;
  for (const std::string& line : source->lines) {
    std::string masked = line;
    std::size_t first = line.find_first_not_of(" \t");
    if (!inBlockComment && first != std::string::npos && line[first] == '#') {
      source->masked.push_back(std::string(line.size(), ' '));
      continue;
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (inBlockComment) {
        if (line.compare(i, 2, "*/") == 0) {
          masked[i] = masked[i + 1] = ' ';
          ++i;
          inBlockComment = false;
        } else {
          masked[i] = ' ';
        }
      } else if (line.compare(i, 2, "//") == 0) {
        for (std::size_t j = i; j < line.size(); ++j) masked[j] = ' ';
        break;
      } else if (line.compare(i, 2, "/*") == 0) {
        masked[i] = masked[i + 1] = ' ';
        ++i;
        inBlockComment = true;
      } else if (line[i] == '"' || line[i] == '\'') {
        char quote = line[i];
        masked[i] = ' ';
        for (++i; i < line.size() && line[i] != quote; ++i) {
          masked[i] = ' ';
          if (line[i] == '\\' && i + 1 < line.size()) masked[++i] = ' ';
        }
        if (i < line.size()) masked[i] = ' ';
      }
    }
    source->masked.push_back(masked);
  }
}

bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

std::string Trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  std::size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

bool StartsWithWord(std::string_view text, std::string_view word) {
  return text.substr(0, word.size()) == word &&
         (text.size() == word.size() || !IsIdentifierChar(text[word.size()]));
}

// The name before the first "(" of a definition's header.
std::string FunctionName(const std::string& header) {
  std::size_t paren = header.find('(');
  std::size_t end = paren;
  while (end > 0 && header[end - 1] == ' ') --end;
  std::size_t begin = end;
  while (begin > 0 && (IsIdentifierChar(header[begin - 1]) ||
                       header[begin - 1] == ':' || header[begin - 1] == '~')) {
    --begin;
  }
  return header.substr(begin, end - begin);
}

// The function definitions of "source", by their braces.
std::vector<Function> FindFunctions(const Source& source) {
  std::vector<Function> functions;
  // Each open brace: true when it opens a namespace (or an extern "C"
  // block), whose contents stay at the top level.
  std::vector<bool> braces;
  bool inFunction = false;
  std::size_t functionDepth = 0;
  Function current;
  std::size_t headerStart = 0;
  bool haveHeader = false;
  std::string header;
  auto topLevel = [&] {
    for (bool isNamespace : braces) {
      if (!isNamespace) return false;
    }
    return true;
  };
  for (std::size_t n = 0; n < source.masked.size(); ++n) {
    const std::string& line = source.masked[n];
    std::string trimmed = Trimmed(line);
    if (!inFunction && topLevel() && !trimmed.empty()) {
      if (!haveHeader && !line.empty() && line[0] != ' ' && line[0] != '\t' &&
          line[0] != '}') {
        haveHeader = true;
        headerStart = n;
        header.clear();
      }
      if (haveHeader) header += trimmed + " ";
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c == '{') {
        bool opensNamespace = false;
        if (!inFunction && topLevel()) {
          std::string before = header.substr(0, header.find('{'));
          bool definition = haveHeader &&
                            before.find('(') != std::string::npos &&
                            before.find('=') == std::string::npos &&
                            before.find(';') == std::string::npos &&
                            !StartsWithWord(before, "namespace") &&
                            !StartsWithWord(before, "struct") &&
                            !StartsWithWord(before, "class") &&
                            !StartsWithWord(before, "enum") &&
                            !StartsWithWord(before, "union") &&
                            !StartsWithWord(before, "typedef") &&
                            !StartsWithWord(before, "extern");
          opensNamespace = StartsWithWord(before, "namespace") ||
                           StartsWithWord(before, "extern");
          if (definition) {
            inFunction = true;
            functionDepth = braces.size() + 1;
            current = Function{};
            current.header = headerStart;
            current.open = n;
            current.openColumn = i;
            current.name = FunctionName(before);
          }
          haveHeader = false;
        }
        braces.push_back(opensNamespace);
      } else if (c == '}') {
        if (!braces.empty()) braces.pop_back();
        if (inFunction && braces.size() < functionDepth) {
          inFunction = false;
          current.close = n;
          functions.push_back(current);
        }
      } else if (c == ';' && !inFunction && topLevel()) {
        haveHeader = false;  // a declaration, not a definition
      }
    }
  }
  return functions;
}

// The comparisons and arithmetic operators with a space on either side, and
// what each becomes.
const std::vector<std::pair<std::string, std::string>>& Comparisons() {
  static const std::vector<std::pair<std::string, std::string>> table = {
      {" <= ", " > "},  {" >= ", " < "}, {" == ", " != "},
      {" != ", " == "}, {" < ", " >= "}, {" > ", " <= "}};
  return table;
}

const std::vector<std::pair<std::string, std::string>>& Arithmetic() {
  static const std::vector<std::pair<std::string, std::string>> table = {
      {" += ", " -= "}, {" -= ", " += "}, {" + ", " - "}, {" - ", " + "},
      {" * ", " / "},   {" / ", " * "},   {" % ", " * "}};
  return table;
}

// A call statement that makes up "code" (masked, trimmed): "f(...);",
// "a.b(...);", "p->f(...);", and not a declaration, an assignment or a
// statement starting with a keyword.
bool IsCallStatement(const std::string& code) {
  if (code.size() < 4 || code.compare(code.size() - 2, 2, ");") != 0) {
    return false;
  }
  for (const char* keyword : {"return", "if", "for", "while", "switch", "else",
                              "case", "do", "delete", "throw"}) {
    if (StartsWithWord(code, keyword)) return false;
  }
  std::size_t paren = code.find('(');
  if (paren == std::string::npos || paren == 0) return false;
  // Before the "(": one name, perhaps reached through "." "->" "::".
  for (std::size_t i = 0; i < paren; ++i) {
    char c = code[i];
    if (!IsIdentifierChar(c) && c != '.' && c != ':' &&
        !(c == '-' && i + 1 < paren && code[i + 1] == '>') &&
        !(c == '>' && i > 0 && code[i - 1] == '-')) {
      return false;
    }
  }
  return IsIdentifierChar(code[0]);
}

// The mutations of one body line "n" of "function"; "from" is the first
// column that belongs to the body.
void LineMutations(const Source& source, const Function& function,
                   std::size_t n, std::size_t from,
                   std::vector<Mutation>* out) {
  const std::string& line = source.lines[n];
  const std::string& code = source.masked[n];
  auto add = [&](const std::string& kind, std::string replacement,
                 bool removesLine) {
    Mutation mutation;
    mutation.source = &source;
    mutation.line = n;
    mutation.kind = kind;
    mutation.function = function.name;
    mutation.replacement = std::move(replacement);
    mutation.removesLine = removesLine;
    out->push_back(std::move(mutation));
  };
  std::size_t to = n == function.close ? code.rfind('}') : code.size();
  // Integer constants.
  for (std::size_t i = from; i < to; ++i) {
    if (code[i] < '0' || code[i] > '9') continue;
    if (i > 0 && (IsIdentifierChar(code[i - 1]) || code[i - 1] == '.')) {
      while (i < to && IsIdentifierChar(code[i])) ++i;
      continue;
    }
    std::size_t end = i;
    while (end < to && code[end] >= '0' && code[end] <= '9') ++end;
    bool plain = end == to || (!IsIdentifierChar(code[end]) &&
                               code[end] != '.' && code[end] != '\'');
    if (plain && end - i <= 9) {
      long value = std::strtol(code.substr(i, end - i).c_str(), nullptr, 10);
      add("constant",
          line.substr(0, i) + std::to_string(value + 1) + line.substr(end),
          false);
    }
    i = end;
  }
  // Operators between two operands.
  auto operators =
      [&](const std::vector<std::pair<std::string, std::string>>& table,
          const std::string& kind, bool avoidStrings) {
        if (avoidStrings && line.find('"') != std::string::npos) return;
        for (std::size_t i = from; i < to; ++i) {
          for (const auto& [from_text, to_text] : table) {
            if (code.compare(i, from_text.size(), from_text) != 0) continue;
            add(kind,
                line.substr(0, i) + to_text + line.substr(i + from_text.size()),
                false);
            i += from_text.size() - 2;
            break;
          }
        }
      };
  operators(Comparisons(), "comparison", false);
  // "+" and "-" on strings would not compile: such lines keep them.
  operators(Arithmetic(), "arithmetic", true);
  // A call statement: the whole line, or the statement an "if (...)" runs.
  std::string trimmed = Trimmed(code.substr(from, to - from));
  if (from == 0 && IsCallStatement(trimmed)) {
    std::size_t previous = n;
    while (previous > function.open &&
           Trimmed(source.masked[previous - 1]).empty()) {
      --previous;
    }
    std::string before = Trimmed(source.masked[previous - 1]);
    char last = before.empty() ? '{' : before.back();
    if (last == ';' || last == '{' || last == '}') add("call", "", true);
  } else if (StartsWithWord(trimmed, "if") &&
             trimmed.find('(') != std::string::npos) {
    std::size_t open = code.find('(', from);
    int depth = 0;
    std::size_t close = open;
    for (; close < to; ++close) {
      if (code[close] == '(') ++depth;
      if (code[close] == ')' && --depth == 0) break;
    }
    if (close < to) {
      std::string body = Trimmed(code.substr(close + 1, to - close - 1));
      if (IsCallStatement(body)) {
        std::size_t start = code.find_first_not_of(' ', close + 1);
        add("call", line.substr(0, start) + "{}", false);
      }
    }
  }
}

std::vector<Mutation> Mutations(const Source& source) {
  std::vector<Mutation> mutations;
  for (const Function& function : FindFunctions(source)) {
    for (std::size_t n = function.open; n <= function.close; ++n) {
      std::size_t from = n == function.open ? function.openColumn + 1 : 0;
      LineMutations(source, function, n, from, &mutations);
    }
  }
  return mutations;
}

// The unified diff of "mutation", with three lines of context.
std::string Diff(const Mutation& mutation) {
  const Source& source = *mutation.source;
  const std::size_t context = 3;
  std::size_t first = mutation.line >= context ? mutation.line - context : 0;
  std::size_t last = std::min(source.lines.size(), mutation.line + context + 1);
  std::ostringstream diff;
  diff << "--- a/" << source.path << "\n+++ b/" << source.path << "\n";
  std::size_t oldCount = last - first;
  std::size_t newCount = oldCount - (mutation.removesLine ? 1 : 0);
  diff << "@@ -" << first + 1 << "," << oldCount << " +" << first + 1 << ","
       << newCount << " @@ " << mutation.function << "\n";
  for (std::size_t n = first; n < last; ++n) {
    if (n == mutation.line) {
      diff << "-" << source.lines[n] << "\n";
      if (!mutation.removesLine) diff << "+" << mutation.replacement << "\n";
    } else {
      diff << " " << source.lines[n] << "\n";
    }
    if (n + 1 == source.lines.size() && !source.endsWithNewline) {
      diff << "\\ No newline at end of file\n";
    }
  }
  return diff.str();
}

int Usage() {
  std::cerr << "usage: mutants --root DIR --out DIR [--seed N] [--count N] "
               "FILE...\n";
  return 2;
}

bool ParseNumber(const char* text, std::uint32_t* value) {
  char* end = nullptr;
  unsigned long parsed = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || parsed > 0xffffffffUL) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  std::string out;
  std::uint32_t seed = 1;
  std::uint32_t count = 60;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    bool hasValue = i + 1 < argc;
    if (argument == "--root" && hasValue) {
      root = argv[++i];
    } else if (argument == "--out" && hasValue) {
      out = argv[++i];
    } else if (argument == "--seed" && hasValue) {
      if (!ParseNumber(argv[++i], &seed)) return Usage();
    } else if (argument == "--count" && hasValue) {
      if (!ParseNumber(argv[++i], &count)) return Usage();
    } else if (!argument.empty() && argument[0] == '-') {
      return Usage();
    } else {
      files.push_back(argument);
    }
  }
  if (root.empty() || out.empty() || files.empty()) return Usage();

  std::vector<Source> sources(files.size());
  std::vector<Mutation> all;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!ReadSource(root, files[i], &sources[i])) {
      std::cerr << "mutants: cannot read \"" << files[i] << "\" in \"" << root
                << "\"\n";
      return 1;
    }
    Mask(&sources[i]);
  }
  std::set<std::pair<std::string, std::pair<std::size_t, std::string>>> seen;
  for (const Source& source : sources) {
    for (Mutation& mutation : Mutations(source)) {
      std::string result =
          mutation.removesLine ? std::string("\n") : mutation.replacement;
      if (seen.insert({source.path, {mutation.line, result}}).second) {
        all.push_back(std::move(mutation));
      }
    }
  }
  if (all.empty()) {
    std::cerr << "mutants: no function body to mutate was found\n";
    return 1;
  }

  // The first "count" of a seeded Fisher-Yates shuffle, back in source
  // order. mt19937's sequence is fixed by the standard; the reduction to a
  // range is done here, as the distributions' are not.
  std::vector<std::size_t> order(all.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 random(seed);
  for (std::size_t i = order.size(); i > 1; --i) {
    std::size_t j = random() % i;
    std::swap(order[i - 1], order[j]);
  }
  if (count != 0 && count < order.size()) order.resize(count);
  std::sort(order.begin(), order.end());

  std::error_code error;
  std::filesystem::create_directories(out, error);
  int number = 0;
  for (std::size_t index : order) {
    const Mutation& mutation = all[index];
    char name[32];
    std::snprintf(name, sizeof name, "mutant-%03d", ++number);
    std::ofstream diff(
        std::filesystem::path(out) / (std::string(name) + ".diff"),
        std::ios::binary);
    diff << Diff(mutation);
    if (!diff.flush()) {
      std::cerr << "mutants: cannot write into \"" << out << "\"\n";
      return 1;
    }
    std::cout << name << "\t" << mutation.source->path << ":"
              << mutation.line + 1 << "\t" << mutation.kind << "\t"
              << mutation.function << "\n";
  }
  return 0;
}
