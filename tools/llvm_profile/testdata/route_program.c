/* A program under test for the clang route: small functions that the
 * optimiser inlines (static ones with one caller, and always_inline ones),
 * recursion, a call through a pointer, and one function never called.
 *
 *   route_program N        makes N rounds of calls and exits
 *   route_program N wait   makes N rounds, prints "ready" and waits to be
 *                          killed
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int Digit(char c) { return c >= '0' && c <= '9'; }

static inline __attribute__((always_inline)) int Twice(int x) { return 2 * x; }

static int Number(const char* text, int* at) {
  int value = 0;
  while (Digit(text[*at])) value = value * 10 + (text[(*at)++] - '0');
  return Twice(value) / 2;
}

static int Sum(const char* text, int* at);

static int Term(const char* text, int* at) {
  if (text[*at] == '(') {
    ++*at;
    int value = Sum(text, at);
    ++*at;
    return value;
  }
  return Number(text, at);
}

static int Sum(const char* text, int* at) {
  int value = Term(text, at);
  while (text[*at] == '+') {
    ++*at;
    value += Term(text, at);
  }
  return value;
}

int Evaluate(const char* text) {
  int at = 0;
  return Sum(text, &at);
}

int Unused(int x) { return x * 3; }

typedef int (*Evaluator)(const char*);

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1;
  volatile Evaluator evaluate = Evaluate;
  long total = 0;
  for (int i = 0; i < rounds; ++i) total += evaluate("1+(22+3)+(4+(5+6))");
  printf("%ld\n", total);
  if (argc > 2 && strcmp(argv[2], "wait") == 0) {
    printf("ready\n");
    fflush(stdout);
    for (;;) pause();
  }
  return 0;
}
