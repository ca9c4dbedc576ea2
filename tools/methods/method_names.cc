#include "tools/methods/method_names.h"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace ostrivel::methods {
namespace {

constexpr std::size_t kMaxLine = 1023;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Helpers that crt1.o, crti.o, crtbegin.o and the C library put into every
// executable's .text, and the compiler's constructors and destructors of a
// translation unit (_GLOBAL__sub_I_..., and _sub_I_<priority>_... as the
// sanitizers have them); names with a leading "__" are caught by the prefix.
bool IsToolchainHelper(std::string_view symbol) {
  static constexpr std::array<std::string_view, 7> kNames = {
      "_start",
      "_init",
      "_fini",
      "frame_dummy",
      "register_tm_clones",
      "deregister_tm_clones",
      "_dl_relocate_static_pie"};
  return std::find(kNames.begin(), kNames.end(), symbol) != kNames.end() ||
         StartsWith(symbol, "__") || StartsWith(symbol, "_GLOBAL__") ||
         StartsWith(symbol, "_sub_I_") || StartsWith(symbol, "_sub_D_") ||
         StartsWith(symbol, "ostrivel_probe_");
}

bool IsStandardLibrary(std::string_view scope) {
  return scope == "std" || StartsWith(scope, "std::") ||
         StartsWith(scope, "__gnu_cxx") || StartsWith(scope, "__cxxabiv1") ||
         StartsWith(scope, "__gnu_debug");
}

// The placement forms of new and delete, defined inline by <new>.
bool IsPlacementOperator(std::string_view demangled) {
  return (StartsWith(demangled, "operator new") ||
          StartsWith(demangled, "operator delete")) &&
         demangled.find(", void*)") != std::string_view::npos;
}

bool MatchesAny(const std::vector<Pattern>& patterns, const std::string& name) {
  return std::any_of(
      patterns.begin(), patterns.end(),
      [&name](const Pattern& pattern) { return pattern.Matches(name); });
}

std::string Clean(std::string text) {
  for (char& c : text) {
    if (c == ';') c = ',';
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string Shorten(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  if (limit < 3) return text.substr(0, limit);
  return text.substr(0, limit - 3) + "...";
}

}  // namespace

std::string Demangle(const std::string& symbol) {
  if (!StartsWith(symbol, "_Z")) return symbol;
  int status = 0;
  char* demangled =
      abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return symbol;
  std::string result = demangled;
  std::free(demangled);
  return result;
}

QualifiedName SplitQualifiedName(std::string_view demangled) {
  constexpr std::string_view kAnonymous = "(anonymous namespace)";
  std::size_t nameStart = 0;
  std::size_t lastSeparator = std::string_view::npos;
  int depth = 0;
  for (std::size_t i = 0; i < demangled.size();) {
    char c = demangled[i];
    if (depth == 0) {
      if (StartsWith(demangled.substr(i), kAnonymous)) {
        i += kAnonymous.size();
        continue;
      }
      // An operator's own name may hold any bracket: it ends the scope.
      if (StartsWith(demangled.substr(i), "operator") &&
          (i == 0 || demangled[i - 1] == ':' || demangled[i - 1] == ' ')) {
        break;
      }
      // A "(" right after a name opens the parameter list; one where a name
      // should start belongs to a return type such as "(expr) f(...)".
      if (c == '(' && i != nameStart) break;
      if (c == ' ') {
        // What came before was a return type.
        nameStart = i + 1;
        lastSeparator = std::string_view::npos;
        ++i;
        continue;
      }
      if (c == ':' && i + 1 < demangled.size() && demangled[i + 1] == ':') {
        lastSeparator = i;
        i += 2;
        continue;
      }
    }
    if (c == '<' || c == '(' || c == '[' || c == '{') ++depth;
    if ((c == '>' || c == ')' || c == ']' || c == '}') && depth > 0) --depth;
    ++i;
  }
  QualifiedName name;
  if (lastSeparator == std::string_view::npos) {
    name.method = demangled.substr(nameStart);
  } else {
    name.scope = demangled.substr(nameStart, lastSeparator - nameStart);
    name.method = demangled.substr(lastSeparator + 2);
  }
  return name;
}

bool Selected(const std::string& demangled, const QualifiedName& name,
              const Selection& selection) {
  if (!selection.keepStandardLibrary &&
      (IsStandardLibrary(name.scope) || IsPlacementOperator(demangled))) {
    return false;
  }
  if (!selection.include.empty() && !MatchesAny(selection.include, demangled)) {
    return false;
  }
  return !MatchesAny(selection.exclude, demangled);
}

std::vector<Method> SelectMethods(const std::vector<FunctionSymbol>& symbols,
                                  const Selection& selection) {
  struct Candidate {
    std::uint64_t address;
    bool global;
    std::string symbol;
    std::string demangled;
    std::string file;
  };
  std::vector<Candidate> candidates;
  for (const FunctionSymbol& symbol : symbols) {
    if (symbol.name.find('.') != std::string::npos) continue;
    if (IsToolchainHelper(symbol.name)) continue;
    std::string demangled = Demangle(symbol.name);
    QualifiedName name = SplitQualifiedName(demangled);
    // A reserved global name behind the mangling:
    // __static_initialization_and_destruction_0(int, int).
    if (name.scope.empty() && StartsWith(name.method, "__")) continue;
    if (!Selected(demangled, name, selection)) continue;
    candidates.push_back(Candidate{symbol.address, symbol.global, symbol.name,
                                   demangled, symbol.file});
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) {
              return std::tie(a.address, b.global, a.symbol) <
                     std::tie(b.address, a.global, b.symbol);
            });
  std::vector<Method> methods;
  for (const Candidate& candidate : candidates) {
    if (!methods.empty() && methods.back().address == candidate.address) {
      continue;
    }
    methods.push_back(Method{candidate.address,
                             SplitQualifiedName(candidate.demangled),
                             candidate.symbol, candidate.file});
  }
  return methods;
}

std::string MethodLine(const Method& method) {
  char id[24];
  std::snprintf(id, sizeof id, "0x%llx",
                static_cast<unsigned long long>(method.address));
  return MethodLineWithId(id, method.name);
}

std::string MethodLineWithId(std::string_view id,
                             const QualifiedName& qualified) {
  std::string name = Clean(qualified.method);
  std::string scope = Clean(qualified.scope);
  std::size_t budget = kMaxLine - id.size() - 2;
  if (name.size() + scope.size() > budget) {
    std::size_t half = budget / 2;
    if (name.size() > half && scope.size() > half) {
      name = Shorten(name, budget - half);
      scope = Shorten(scope, half);
    } else if (name.size() > half) {
      name = Shorten(name, budget - scope.size());
    } else {
      scope = Shorten(scope, budget - name.size());
    }
  }
  return std::string(id) + ";" + name + ";" + scope;
}

std::string MethodListText(const std::string& application,
                           const std::vector<Method>& methods) {
  std::string text = "ProjectName;" + application + "\n";
  for (const Method& method : methods) text += MethodLine(method) + "\n";
  return text;
}

}  // namespace ostrivel::methods
