/* A program under test for the probe's tests, in C to show that the probe's
 * interface is plain C. Modes:
 *   count APP INDEX N    counts N calls, then exits with the last result
 *   hold APP INDEX N     counts N calls, prints "ready"; then for each line
 *                        "K" on standard input counts K more and prints
 *                        "ready"; exits at the end of the input
 *   forever APP          counts method 0, then method 1, without end; prints
 *                        "ready" after the first 1000 rounds
 *   status APP           prints the results of attach and method_count */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostrivel/probe.h"

static int CountMany(const char* application, unsigned index,
                     unsigned long calls) {
  int result = OSTRIVEL_PROBE_OK;
  for (unsigned long i = 0; i < calls; ++i) {
    result = ostrivel_probe_count(application, index);
  }
  return result;
}

static void Ready(void) {
  fputs("ready\n", stdout);
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc >= 5 && strcmp(argv[1], "count") == 0) {
    return CountMany(argv[2], (unsigned)strtoul(argv[3], NULL, 10),
                     strtoul(argv[4], NULL, 10));
  }
  if (argc >= 5 && strcmp(argv[1], "hold") == 0) {
    unsigned index = (unsigned)strtoul(argv[3], NULL, 10);
    if (CountMany(argv[2], index, strtoul(argv[4], NULL, 10)) != 0) return 1;
    Ready();
    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
      if (CountMany(argv[2], index, strtoul(line, NULL, 10)) != 0) return 1;
      Ready();
    }
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "forever") == 0) {
    for (unsigned long round = 1;; ++round) {
      if (ostrivel_probe_count(argv[2], 0) != 0) return 1;
      if (ostrivel_probe_count(argv[2], 1) != 0) return 1;
      if (round == 1000) Ready();
    }
  }
  if (argc >= 3 && strcmp(argv[1], "status") == 0) {
    printf("attach %d methods %lld automatic %d\n",
           ostrivel_probe_attach(argv[2]), ostrivel_probe_method_count(argv[2]),
           ostrivel_probe_automatic());
    return 0;
  }
  fputs("usage: probe_test_child count|hold|forever|status ...\n", stderr);
  return 2;
}
