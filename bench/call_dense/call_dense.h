/* call_dense: a recursive-descent parser and printer of a JSON-like text,
 * written to spend its time in many small function calls, so that the cost
 * of counting calls shows. Every test generates its input from its own
 * number, parses it, prints it back, parses the print again and compares:
 * the output is deterministic, and so are the calls. */

#ifndef OSTRIVEL_BENCH_CALL_DENSE_CALL_DENSE_H_
#define OSTRIVEL_BENCH_CALL_DENSE_CALL_DENSE_H_

#include <stddef.h>
#include <stdint.h>

/* A growable text buffer. */
typedef struct Text {
  char* bytes;
  size_t size;
  size_t capacity;
} Text;

void text_init(Text* text);
void text_free(Text* text);
void text_clear(Text* text);
void text_put(Text* text, char c);
void text_append(Text* text, const char* bytes, size_t size);

enum NodeKind { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };

/* A parsed value. Strings and the keys of members point into the arena;
 * children are a singly linked list in document order. */
typedef struct Node {
  int kind;
  double number;
  const char* string; /* a string value, decoded */
  size_t length;
  const char* key;
  size_t key_length;
  struct Node* first;
  struct Node* next;
} Node;

/* Nodes and decoded strings of one document, freed together. */
typedef struct Arena {
  Node* nodes;
  size_t node_count;
  size_t node_capacity;
  char* chars;
  size_t char_count;
  size_t char_capacity;
} Arena;

void arena_init(Arena* arena);
void arena_free(Arena* arena);
void arena_reset(Arena* arena);
/* Makes room for a document of "size" input bytes, which holds at most that
 * many nodes and decoded characters, so that nodes never move while it is
 * parsed. */
void arena_reserve(Arena* arena, size_t size);

/* Parses "input" (NUL-terminated) into nodes of "arena". Returns the root,
 * or NULL with "*error_offset" set at the first byte that does not fit. */
Node* parse_document(const char* input, Arena* arena, size_t* error_offset);

/* Appends "node" to "out": compact when "indent" is 0, else pretty with that
 * many spaces per level. */
void print_document(const Node* node, int indent, Text* out);

/* True iff the two trees hold the same values in the same order. */
int nodes_equal(const Node* a, const Node* b);

/* A 64-bit FNV-1a hash over a tree's values. */
uint64_t node_hash(const Node* node);

/* The input of test "number": a JSON-like text whose mix of values depends
 * on number % 6 ("kShapeCount" shapes), and whose values are drawn from a
 * generator seeded with the number. */
enum { kShapeCount = 6 };
void generate_document(unsigned number, Text* out);

/* Character classes, used by the parser and the printer alike. */
static inline int is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static inline int is_digit(int c) { return c >= '0' && c <= '9'; }

static inline int hex_value(int c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static inline int needs_escape(int c) {
  return c == '"' || c == '\\' || (unsigned char)c < 0x20;
}

#endif /* OSTRIVEL_BENCH_CALL_DENSE_CALL_DENSE_H_ */
