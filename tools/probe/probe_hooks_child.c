/* A program under test built with -finstrument-functions, for the tests of
 * the probe's automatic counting. Modes:
 *   offsets              prints "NAME 0xOFFSET" for each function below:
 *                        its address minus the load bias, as a method list
 *                        names it
 *   call ROUNDS THREADS  in each of THREADS threads, calls Alpha ROUNDS
 *                        times, Beta 2 x ROUNDS, Gamma 3 x, Delta 4 x and
 *                        Unlisted 5 x; exits with 0 when automatic counting
 *                        was on, 2 when it was off
 * Padding, never called, sits between the functions so that they span tens
 * of kilobytes, room for many listed addresses between them; Unlisted lies
 * between listed ones. */

#define _GNU_SOURCE
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostrivel/probe.h"

__attribute__((noinline)) int Alpha(int x) {
  __asm__ volatile("");
  return x + 1;
}

__attribute__((noinline)) void Padding(void) {
  __asm__ volatile(".skip 40000, 0xcc");
}

__attribute__((noinline)) int Beta(int x) {
  __asm__ volatile("");
  return x + 2;
}

__attribute__((noinline)) int Unlisted(int x) {
  __asm__ volatile("");
  return x + 5;
}

__attribute__((noinline)) int Gamma(int x) {
  __asm__ volatile("");
  return x + 3;
}

__attribute__((noinline)) int Delta(int x) {
  __asm__ volatile("");
  return x + 4;
}

static long gRounds;
static volatile int gSink;

static void* CallAll(void* unused) {
  (void)unused;
  int x = 0;
  for (long i = 0; i < gRounds; ++i) {
    x = Alpha(x);
    for (int k = 0; k < 2; ++k) x = Beta(x);
    for (int k = 0; k < 3; ++k) x = Gamma(x);
    for (int k = 0; k < 4; ++k) x = Delta(x);
    for (int k = 0; k < 5; ++k) x = Unlisted(x);
  }
  gSink = x;
  return NULL;
}

static int TakeFirstObject(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  *(uintptr_t*)data = info->dlpi_addr;
  return 1;
}

static void PrintOffset(const char* name, uintptr_t address, uintptr_t bias) {
  printf("%s 0x%llx\n", name, (unsigned long long)(address - bias));
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "offsets") == 0) {
    uintptr_t bias = 0;
    dl_iterate_phdr(TakeFirstObject, &bias);
    PrintOffset("Alpha", (uintptr_t)&Alpha, bias);
    PrintOffset("Beta", (uintptr_t)&Beta, bias);
    PrintOffset("Gamma", (uintptr_t)&Gamma, bias);
    PrintOffset("Delta", (uintptr_t)&Delta, bias);
    PrintOffset("Unlisted", (uintptr_t)&Unlisted, bias);
    PrintOffset("Padding", (uintptr_t)&Padding, bias);
    PrintOffset("CallAll", (uintptr_t)&CallAll, bias);
    PrintOffset("main", (uintptr_t)&main, bias);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "call") == 0) {
    gRounds = atol(argv[2]);
    int threads = atoi(argv[3]);
    if (threads < 1 || threads > 64) return 1;
    pthread_t ids[64];
    for (int t = 0; t < threads; ++t) {
      if (pthread_create(&ids[t], NULL, CallAll, NULL) != 0) return 1;
    }
    for (int t = 0; t < threads; ++t) pthread_join(ids[t], NULL);
    return ostrivel_probe_automatic() == 1 ? 0 : 2;
  }
  return 1;
}
