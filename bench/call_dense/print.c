/* The printer, the comparison and the hash of a tree. */

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "bench/call_dense/call_dense.h"

typedef struct Printer {
  Text* out;
  int indent;
  int level;
} Printer;

static void print_value(Printer* printer, const Node* node);

static void emit(Printer* printer, char c) { text_put(printer->out, c); }

static void emit_word(Printer* printer, const char* word) {
  text_append(printer->out, word, strlen(word));
}

static void emit_newline(Printer* printer) {
  if (printer->indent == 0) return;
  static const char kSpaces[] = "                                ";
  emit(printer, '\n');
  for (int left = printer->level * printer->indent; left > 0;) {
    int size = left < 32 ? left : 32;
    text_append(printer->out, kSpaces, (size_t)size);
    left -= size;
  }
}

static char hex_digit(int value) {
  return (char)(value < 10 ? '0' + value : 'a' + value - 10);
}

static void emit_escape(Printer* printer, int c) {
  emit(printer, '\\');
  switch (c) {
    case '"':
    case '\\':
      emit(printer, (char)c);
      return;
    case '\n':
      emit(printer, 'n');
      return;
    case '\t':
      emit(printer, 't');
      return;
    case '\r':
      emit(printer, 'r');
      return;
    default:
      emit_word(printer, "u00");
      emit(printer, hex_digit((c >> 4) & 0xf));
      emit(printer, hex_digit(c & 0xf));
  }
}

/* The length of the run of bytes from "string" on that print as they are. */
static size_t plain_run(const char* string, size_t length) {
  size_t size = 0;
  while (size < length && (unsigned char)string[size] >= 0x20 &&
         string[size] != '"' && string[size] != '\\') {
    ++size;
  }
  return size;
}

static void print_string(Printer* printer, const char* string, size_t length) {
  emit(printer, '"');
  size_t i = 0;
  while (i < length) {
    size_t run = plain_run(string + i, length - i);
    text_append(printer->out, string + i, run);
    i += run;
    if (i < length && needs_escape((unsigned char)string[i])) {
      emit_escape(printer, (unsigned char)string[i]);
      ++i;
    }
  }
  emit(printer, '"');
}

static int is_integral(double number) {
  return number == floor(number) && fabs(number) < 1e15;
}

static void print_digits(Printer* printer, unsigned long long value) {
  if (value >= 10) print_digits(printer, value / 10);
  emit(printer, (char)('0' + value % 10));
}

static void print_number(Printer* printer, double number) {
  if (is_integral(number)) {
    if (number < 0) emit(printer, '-');
    print_digits(printer, (unsigned long long)fabs(number));
    return;
  }
  char digits[32];
  int length = snprintf(digits, sizeof digits, "%.17g", number);
  text_append(printer->out, digits, (size_t)length);
}

static void print_separator(Printer* printer, const Node* child) {
  if (child->next != NULL) emit(printer, ',');
}

static void print_member(Printer* printer, const Node* member) {
  print_string(printer, member->key, member->key_length);
  emit(printer, ':');
  if (printer->indent != 0) emit(printer, ' ');
  print_value(printer, member);
}

static void print_children(Printer* printer, const Node* node, int members,
                           char open, char close) {
  emit(printer, open);
  if (node->first == NULL) {
    emit(printer, close);
    return;
  }
  ++printer->level;
  for (const Node* child = node->first; child != NULL; child = child->next) {
    emit_newline(printer);
    if (members) {
      print_member(printer, child);
    } else {
      print_value(printer, child);
    }
    print_separator(printer, child);
  }
  --printer->level;
  emit_newline(printer);
  emit(printer, close);
}

static void print_value(Printer* printer, const Node* node) {
  switch (node->kind) {
    case kNull:
      emit_word(printer, "null");
      break;
    case kFalse:
      emit_word(printer, "false");
      break;
    case kTrue:
      emit_word(printer, "true");
      break;
    case kNumber:
      print_number(printer, node->number);
      break;
    case kString:
      print_string(printer, node->string, node->length);
      break;
    case kArray:
      print_children(printer, node, 0, '[', ']');
      break;
    default:
      print_children(printer, node, 1, '{', '}');
      break;
  }
}

void print_document(const Node* node, int indent, Text* out) {
  Printer printer = {out, indent, 0};
  print_value(&printer, node);
}

static int same_bytes(const char* a, size_t a_length, const char* b,
                      size_t b_length) {
  return a_length == b_length && (a_length == 0 || memcmp(a, b, a_length) == 0);
}

static int same_scalar(const Node* a, const Node* b) {
  if (a->kind != b->kind) return 0;
  if (a->kind == kNumber) return a->number == b->number;
  if (a->kind == kString)
    return same_bytes(a->string, a->length, b->string, b->length);
  return 1;
}

int nodes_equal(const Node* a, const Node* b) {
  if (!same_scalar(a, b)) return 0;
  if (!same_bytes(a->key, a->key_length, b->key, b->key_length)) return 0;
  const Node* x = a->first;
  const Node* y = b->first;
  for (; x != NULL && y != NULL; x = x->next, y = y->next) {
    if (!nodes_equal(x, y)) return 0;
  }
  return x == NULL && y == NULL;
}

static uint64_t hash_byte(uint64_t hash, unsigned char byte) {
  return (hash ^ byte) * 1099511628211ull;
}

static uint64_t hash_bytes(uint64_t hash, const char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    hash = hash_byte(hash, (unsigned char)bytes[i]);
  return hash;
}

static uint64_t hash_node(uint64_t hash, const Node* node) {
  hash = hash_byte(hash, (unsigned char)node->kind);
  hash = hash_bytes(hash, node->key, node->key_length);
  if (node->kind == kString)
    hash = hash_bytes(hash, node->string, node->length);
  if (node->kind == kNumber) {
    char bytes[sizeof node->number];
    memcpy(bytes, &node->number, sizeof bytes);
    hash = hash_bytes(hash, bytes, sizeof bytes);
  }
  for (const Node* child = node->first; child != NULL; child = child->next) {
    hash = hash_node(hash, child);
  }
  return hash;
}

uint64_t node_hash(const Node* node) {
  return hash_node(14695981039346656037ull, node);
}
