#ifndef LEDGER_CHECKS_CHECK_H_
#define LEDGER_CHECKS_CHECK_H_

// The few lines the test programs share: each program runs the checks of
// the case named by its first argument (all of them without one) and exits
// with 1 when one failed.

#include <cstdio>
#include <cstring>
#include <string>

namespace checks {

inline int failures = 0;

inline void Expect(bool condition, const char* what, int line) {
  if (!condition) {
    std::fprintf(stderr, "line %d: expected %s\n", line, what);
    ++failures;
  }
}

inline bool Selected(int argc, char** argv, const char* name) {
  return argc < 2 || std::strcmp(argv[1], name) == 0;
}

}  // namespace checks

#define EXPECT(condition) checks::Expect((condition), #condition, __LINE__)

#endif  // LEDGER_CHECKS_CHECK_H_
