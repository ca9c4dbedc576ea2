/* The parser: one small function per rule and per character class, as a
 * hand-written recursive-descent parser has them. Beyond JSON it takes
 * comments ("#" to the end of the line) and a trailing comma. */

#include <stdlib.h>
#include <string.h>

#include "bench/call_dense/call_dense.h"

typedef struct Parser {
  const char* input;
  size_t position;
  Arena* arena;
  int failed;
  int depth;
} Parser;

enum { kMaxDepth = 512 };

static Node* parse_value(Parser* parser);

/* The next byte; a macro, so that the calls counted are those of the rules
 * rather than of a byte access. */
#define peek(parser) ((int)(unsigned char)(parser)->input[(parser)->position])

static int at_end(const Parser* parser) { return peek(parser) == '\0'; }

static void advance(Parser* parser) {
  if (peek(parser) != '\0') ++parser->position;
}

static int take(Parser* parser) {
  int c = peek(parser);
  advance(parser);
  return c;
}

static void fail(Parser* parser) { parser->failed = 1; }

static void skip_comment(Parser* parser) {
  while (!at_end(parser) && peek(parser) != '\n') advance(parser);
}

static size_t space_run(const char* from) {
  size_t size = 0;
  while (from[size] == ' ' || from[size] == '\n' || from[size] == '\t' ||
         from[size] == '\r') {
    ++size;
  }
  return size;
}

static void skip_blanks(Parser* parser) {
  for (;;) {
    int c = peek(parser);
    if (is_space(c)) {
      parser->position += space_run(parser->input + parser->position);
    } else if (c == '#') {
      skip_comment(parser);
    } else {
      return;
    }
  }
}

static int accept(Parser* parser, int c) {
  skip_blanks(parser);
  if (peek(parser) != c) return 0;
  advance(parser);
  return 1;
}

static void expect(Parser* parser, int c) {
  if (!accept(parser, c)) fail(parser);
}

static Node* new_node(Parser* parser, int kind) {
  Arena* arena = parser->arena;
  Node* node = &arena->nodes[arena->node_count++];
  memset(node, 0, sizeof *node);
  node->kind = kind;
  return node;
}

static char* string_space(Parser* parser) {
  return parser->arena->chars + parser->arena->char_count;
}

static void keep_char(Parser* parser, char c) {
  parser->arena->chars[parser->arena->char_count++] = c;
}

static int parse_hex4(Parser* parser) {
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hex_value(take(parser));
    if (digit < 0) {
      fail(parser);
      return 0;
    }
    value = value * 16 + digit;
  }
  return value;
}

/* Code points above 0x7f become UTF-8; a \u escape takes at least six
 * input bytes, more than its encoding needs, so the arena cannot overflow. */
static void keep_code_point(Parser* parser, int code) {
  if (code < 0x80) {
    keep_char(parser, (char)code);
  } else if (code < 0x800) {
    keep_char(parser, (char)(0xc0 | (code >> 6)));
    keep_char(parser, (char)(0x80 | (code & 0x3f)));
  } else {
    keep_char(parser, (char)(0xe0 | (code >> 12)));
    keep_char(parser, (char)(0x80 | ((code >> 6) & 0x3f)));
    keep_char(parser, (char)(0x80 | (code & 0x3f)));
  }
}

static int unescape(int c) {
  switch (c) {
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case 'r':
      return '\r';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case '"':
    case '\\':
    case '/':
      return c;
    default:
      return -1;
  }
}

static void parse_escape(Parser* parser) {
  int c = take(parser);
  if (c == 'u') {
    keep_code_point(parser, parse_hex4(parser));
    return;
  }
  int plain = unescape(c);
  if (plain < 0) {
    fail(parser);
    return;
  }
  keep_char(parser, (char)plain);
}

/* Copies the plain bytes up to the next quote, backslash or control
 * character in one go. */
static void keep_plain_run(Parser* parser) {
  const char* from = parser->input + parser->position;
  size_t size = 0;
  while ((unsigned char)from[size] >= 0x20 && from[size] != '"' &&
         from[size] != '\\') {
    ++size;
  }
  memcpy(string_space(parser), from, size);
  parser->arena->char_count += size;
  parser->position += size;
}

/* The opening quote has been taken. */
static const char* parse_string_body(Parser* parser, size_t* length) {
  const char* start = string_space(parser);
  while (!parser->failed) {
    keep_plain_run(parser);
    int c = take(parser);
    if (c == '"') break;
    if (c == '\\') {
      parse_escape(parser);
    } else {
      fail(parser);
    }
  }
  *length = (size_t)(string_space(parser) - start);
  keep_char(parser, '\0');
  return start;
}

static Node* parse_string(Parser* parser) {
  Node* node = new_node(parser, kString);
  advance(parser);
  node->string = parse_string_body(parser, &node->length);
  return node;
}

static void skip_digits(Parser* parser) {
  while (is_digit(peek(parser))) advance(parser);
}

static int parse_sign(Parser* parser) {
  if (peek(parser) == '-') {
    advance(parser);
    return 1;
  }
  if (peek(parser) == '+') advance(parser);
  return 0;
}

static void parse_fraction(Parser* parser) {
  if (peek(parser) != '.') return;
  advance(parser);
  if (!is_digit(peek(parser))) fail(parser);
  skip_digits(parser);
}

static void parse_exponent(Parser* parser) {
  if (peek(parser) != 'e' && peek(parser) != 'E') return;
  advance(parser);
  parse_sign(parser);
  if (!is_digit(peek(parser))) fail(parser);
  skip_digits(parser);
}

static double add_digit(double value, int c) { return value * 10 + (c - '0'); }

/* Integers are summed up digit by digit (exactly, below 2^53); the rest goes
 * to strtod. */
static Node* parse_number(Parser* parser) {
  size_t start = parser->position;
  Node* node = new_node(parser, kNumber);
  int negative = parse_sign(parser);
  if (!is_digit(peek(parser))) fail(parser);
  double whole = 0;
  size_t digits = 0;
  for (; is_digit(peek(parser)); ++digits)
    whole = add_digit(whole, take(parser));
  size_t end = parser->position;
  parse_fraction(parser);
  parse_exponent(parser);
  if (parser->position == end && digits < 16) {
    node->number = negative ? -whole : whole;
  } else {
    node->number = strtod(parser->input + start, NULL);
  }
  return node;
}

static int match_word(Parser* parser, const char* word) {
  size_t length = strlen(word);
  if (strncmp(parser->input + parser->position, word, length) != 0) return 0;
  parser->position += length;
  return 1;
}

static Node* parse_literal(Parser* parser) {
  if (match_word(parser, "null")) return new_node(parser, kNull);
  if (match_word(parser, "true")) return new_node(parser, kTrue);
  if (match_word(parser, "false")) return new_node(parser, kFalse);
  fail(parser);
  return NULL;
}

static void append_child(Node* parent, Node** last, Node* child) {
  if (*last == NULL) {
    parent->first = child;
  } else {
    (*last)->next = child;
  }
  *last = child;
}

/* After "[" or "{": true when the list goes on with one more element. */
static int more_elements(Parser* parser, int close, int first) {
  if (accept(parser, close)) return 0;
  if (!first && !accept(parser, ',')) {
    fail(parser);
    return 0;
  }
  /* A trailing comma. */
  if (!first && accept(parser, close)) return 0;
  return !parser->failed;
}

static Node* parse_array(Parser* parser) {
  Node* node = new_node(parser, kArray);
  Node* last = NULL;
  advance(parser);
  for (int first = 1; more_elements(parser, ']', first); first = 0) {
    Node* child = parse_value(parser);
    if (child == NULL) break;
    append_child(node, &last, child);
  }
  return node;
}

static int parse_key(Parser* parser, Node* member) {
  skip_blanks(parser);
  if (peek(parser) != '"') {
    fail(parser);
    return 0;
  }
  advance(parser);
  member->key = parse_string_body(parser, &member->key_length);
  expect(parser, ':');
  return !parser->failed;
}

static Node* parse_member(Parser* parser) {
  /* The key is decoded before the value's node exists: keep it on a
   * placeholder and move it over. */
  Node key;
  memset(&key, 0, sizeof key);
  if (!parse_key(parser, &key)) return NULL;
  Node* value = parse_value(parser);
  if (value == NULL) return NULL;
  value->key = key.key;
  value->key_length = key.key_length;
  return value;
}

static Node* parse_object(Parser* parser) {
  Node* node = new_node(parser, kObject);
  Node* last = NULL;
  advance(parser);
  for (int first = 1; more_elements(parser, '}', first); first = 0) {
    Node* member = parse_member(parser);
    if (member == NULL) break;
    append_child(node, &last, member);
  }
  return node;
}

static Node* parse_nested(Parser* parser, Node* (*rule)(Parser*)) {
  if (++parser->depth > kMaxDepth) {
    fail(parser);
    return NULL;
  }
  Node* node = rule(parser);
  --parser->depth;
  return node;
}

static Node* parse_value(Parser* parser) {
  skip_blanks(parser);
  if (parser->failed) return NULL;
  int c = peek(parser);
  if (c == '{') return parse_nested(parser, parse_object);
  if (c == '[') return parse_nested(parser, parse_array);
  if (c == '"') return parse_string(parser);
  if (c == '-' || is_digit(c)) return parse_number(parser);
  return parse_literal(parser);
}

Node* parse_document(const char* input, Arena* arena, size_t* error_offset) {
  Parser parser = {input, 0, arena, 0, 0};
  arena_reserve(arena, strlen(input));
  Node* root = parse_value(&parser);
  skip_blanks(&parser);
  if (root == NULL || parser.failed || !at_end(&parser)) {
    *error_offset = parser.position;
    return NULL;
  }
  return root;
}
