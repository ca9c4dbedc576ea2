/* call_dense --test N [--repeat R]: test N of the call-dense benchmark.
 * Generates document N, then R times parses it, prints it compact and
 * pretty and parses both prints again, which must give the same tree.
 * Prints one line with the sizes and the tree's hash; exit code 0 when
 * every round trip held, 1 when one did not, 2 for a usage error. */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/call_dense/call_dense.h"

/* Enough rounds for a few tens of milliseconds per test when nothing is
 * instrumented. */
enum { kDefaultRepeat = 30 };

static int usage(void) {
  fputs("usage: call_dense --test N [--repeat R]\n", stderr);
  return 2;
}

static int parse_count(const char* text, unsigned* value) {
  char* end = NULL;
  unsigned long parsed = strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || parsed > 1000000ul) return 0;
  *value = (unsigned)parsed;
  return 1;
}

static int reparses_equal(const Node* root, int indent, Text* print,
                          Arena* arena) {
  size_t error_offset = 0;
  text_clear(print);
  print_document(root, indent, print);
  Node* again = parse_document(print->bytes, arena, &error_offset);
  if (again == NULL) {
    fprintf(stderr, "call_dense: the print (indent %d) does not parse at %zu\n",
            indent, error_offset);
    return 0;
  }
  if (!nodes_equal(root, again)) {
    fprintf(stderr, "call_dense: the print (indent %d) parses differently\n",
            indent);
    return 0;
  }
  return 1;
}

static int run_test(unsigned number, unsigned repeat) {
  Text input;
  Text print;
  Arena first;
  Arena second;
  text_init(&input);
  text_init(&print);
  arena_init(&first);
  arena_init(&second);
  generate_document(number, &input);
  int ok = 1;
  uint64_t hash = 0;
  size_t nodes = 0;
  for (unsigned round = 0; round < repeat && ok; ++round) {
    size_t error_offset = 0;
    Node* root = parse_document(input.bytes, &first, &error_offset);
    if (root == NULL) {
      fprintf(stderr, "call_dense: input %u does not parse at %zu\n", number,
              error_offset);
      ok = 0;
      break;
    }
    ok = reparses_equal(root, 0, &print, &second) &&
         reparses_equal(root, 2, &print, &second);
    hash = node_hash(root);
    nodes = first.node_count;
  }
  if (ok) {
    printf("test %u: %zu bytes, %zu nodes, hash %016llx\n", number, input.size,
           nodes, (unsigned long long)hash);
  }
  text_free(&input);
  text_free(&print);
  arena_free(&first);
  arena_free(&second);
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  unsigned number = 0;
  unsigned repeat = kDefaultRepeat;
  int have_number = 0;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 < argc && strcmp(argv[i], "--test") == 0) {
      if (!parse_count(argv[++i], &number)) return usage();
      have_number = 1;
    } else if (i + 1 < argc && strcmp(argv[i], "--repeat") == 0) {
      if (!parse_count(argv[++i], &repeat)) return usage();
    } else {
      return usage();
    }
  }
  if (!have_number) return usage();
  return run_test(number, repeat);
}
