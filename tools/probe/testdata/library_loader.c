// A program that loads the sample library with dlopen:
//   library_loader LIBRARY ROUNDS [OTHER]
// calls LibAlpha and LibBeta of LIBRARY ROUNDS times each, unloads it, and
// then does the same with OTHER, which the loader tends to map into the
// range LIBRARY left. Prints "same range" when it did.

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef int (*Function)(int);

static int CallAndClose(const char* path, int rounds, uintptr_t* address) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  Function alpha = (Function)(uintptr_t)dlsym(library, "LibAlpha");
  Function beta = (Function)(uintptr_t)dlsym(library, "LibBeta");
  if (alpha == NULL || beta == NULL) return 2;
  volatile int sink = 0;
  for (int i = 0; i < rounds; ++i) sink += alpha(i) + beta(i);
  *address = (uintptr_t)alpha;
  return dlclose(library) == 0 ? 0 : 2;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int rounds = atoi(argv[2]);
  uintptr_t first = 0;
  uintptr_t second = 0;
  if (CallAndClose(argv[1], rounds, &first) != 0) return 2;
  if (argc > 3) {
    if (CallAndClose(argv[3], rounds, &second) != 0) return 2;
    if (first == second) printf("same range\n");
  }
  return 0;
}
