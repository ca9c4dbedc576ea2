// A program that links the sample library: library_user ROUNDS calls the
// library's functions and its own static Helper ROUNDS times a round (the
// two builds, with and without SECOND_USER, call different ones).

#include <stdlib.h>

int LibAlpha(int value);
int LibBeta(int value);
int LibGamma(int value);

static __attribute__((noinline)) int Helper(int value) { return value + 2; }

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1;
  volatile int sink = 0;
  for (int i = 0; i < rounds; ++i) {
#ifdef SECOND_USER
    sink += LibGamma(i) + Helper(i);
#else
    sink += LibAlpha(i) + LibBeta(i) + Helper(i) + Helper(i + 1);
#endif
  }
  return sink == 12345 ? 1 : 0;
}
