/* The generated inputs: six shapes of document, each stressing other rules
 * of the parser, drawn from a generator seeded with the test's number. */

#include <stdio.h>
#include <string.h>

#include "bench/call_dense/call_dense.h"

typedef struct Generator {
  uint64_t state;
  Text* out;
  int comments;
  int budget; /* values left to write */
} Generator;

enum { kDocumentValues = 1200 };

static uint64_t next_random(Generator* generator) {
  /* xorshift64* */
  uint64_t x = generator->state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  generator->state = x;
  return x * 2685821657736338717ull;
}

static int below(Generator* generator, int limit) {
  return (int)(next_random(generator) % (uint64_t)limit);
}

static int chance(Generator* generator, int percent) {
  return below(generator, 100) < percent;
}

static void put(Generator* generator, char c) { text_put(generator->out, c); }

static void put_word(Generator* generator, const char* word) {
  text_append(generator->out, word, strlen(word));
}

static void put_blank(Generator* generator) {
  if (generator->comments && chance(generator, 10)) {
    put_word(generator, " # a comment, to the end of the line\n");
  } else if (chance(generator, 30)) {
    put(generator, chance(generator, 50) ? ' ' : '\n');
  }
}

static void put_integer(Generator* generator) {
  char digits[24];
  int value = below(generator, 2000000) - 1000000;
  int length = snprintf(digits, sizeof digits, "%d", value);
  text_append(generator->out, digits, (size_t)length);
}

static void put_decimal(Generator* generator) {
  /* One draw after the other: the order in which a call's arguments are
   * evaluated differs between compilers. */
  char digits[40];
  int whole = below(generator, 1000) - 500;
  int fraction = below(generator, 1000);
  int exponent = below(generator, 20) - 10;
  int length =
      snprintf(digits, sizeof digits, "%d.%03de%d", whole, fraction, exponent);
  text_append(generator->out, digits, (size_t)length);
}

static void put_number(Generator* generator) {
  if (chance(generator, 60)) {
    put_integer(generator);
  } else {
    put_decimal(generator);
  }
}

static const char* const kWords[] = {
    "alpha", "bravo",  "charlie", "delta", "echo", "foxtrot",  "golf",  "hotel",
    "india", "juliet", "kilo",    "lima",  "mike", "november", "oscar", "papa"};
enum { kWordCount = sizeof kWords / sizeof kWords[0] };

static void put_escape(Generator* generator) {
  static const char* const kEscapes[] = {
      "\\n", "\\t", "\\\"", "\\\\", "\\/", "\\u00e9", "\\u20ac", "\\u0001"};
  put_word(generator, kEscapes[below(generator, 8)]);
}

static void put_string(Generator* generator, int escapes) {
  put(generator, '"');
  int words = 1 + below(generator, 4);
  for (int i = 0; i < words; ++i) {
    if (i > 0) put(generator, ' ');
    put_word(generator, kWords[below(generator, kWordCount)]);
    if (escapes && chance(generator, 40)) put_escape(generator);
  }
  put(generator, '"');
}

static void put_literal(Generator* generator) {
  static const char* const kLiterals[] = {"true", "false", "null"};
  put_word(generator, kLiterals[below(generator, 3)]);
}

static void put_scalar(Generator* generator, int escapes) {
  --generator->budget;
  switch (below(generator, 3)) {
    case 0:
      put_number(generator);
      break;
    case 1:
      put_string(generator, escapes);
      break;
    default:
      put_literal(generator);
  }
}

typedef void (*ElementWriter)(Generator* generator, int depth);

/* "[" elements "]", with a trailing comma now and then where comments are
 * allowed too. */
static void put_list(Generator* generator, int depth, int count, char open,
                     char close, ElementWriter element) {
  put(generator, open);
  for (int i = 0; i < count && generator->budget > 0; ++i) {
    if (i > 0) put(generator, ',');
    put_blank(generator);
    element(generator, depth + 1);
  }
  if (count > 0 && generator->comments && chance(generator, 20)) {
    put(generator, ',');
  }
  put_blank(generator);
  put(generator, close);
}

static void put_key(Generator* generator) {
  put_string(generator, 0);
  put(generator, ':');
  put_blank(generator);
}

static void put_mixed(Generator* generator, int depth);

static void put_mixed_member(Generator* generator, int depth) {
  put_key(generator);
  put_mixed(generator, depth);
}

static void put_mixed(Generator* generator, int depth) {
  int pick = depth > 6 ? 2 : below(generator, 4);
  if (pick == 0) {
    put_list(generator, depth, 1 + below(generator, 6), '[', ']', put_mixed);
  } else if (pick == 1) {
    put_list(generator, depth, 1 + below(generator, 6), '{', '}',
             put_mixed_member);
  } else {
    put_scalar(generator, 1);
  }
}

static void put_field(Generator* generator, const char* key) {
  put(generator, '"');
  put_word(generator, key);
  put_word(generator, "\":");
}

static void put_record(Generator* generator, int depth) {
  (void)depth;
  generator->budget -= 4;
  put(generator, '{');
  put_field(generator, "id");
  put_integer(generator);
  put(generator, ',');
  put_field(generator, "name");
  put_string(generator, 0);
  put(generator, ',');
  put_field(generator, "active");
  put_literal(generator);
  put(generator, ',');
  put_field(generator, "score");
  put_decimal(generator);
  put(generator, '}');
}

static void put_number_element(Generator* generator, int depth) {
  (void)depth;
  --generator->budget;
  put_number(generator);
}

static void put_number_row(Generator* generator, int depth) {
  put_list(generator, depth, 16, '[', ']', put_number_element);
}

static void put_string_element(Generator* generator, int depth) {
  (void)depth;
  --generator->budget;
  put_string(generator, 1);
}

static void put_deep(Generator* generator, int depth);

static void put_deep_member(Generator* generator, int depth) {
  put_key(generator);
  put_deep(generator, depth);
}

static void put_deep(Generator* generator, int depth) {
  if (depth > 40 || generator->budget <= 0) {
    put_scalar(generator, 0);
    return;
  }
  if (chance(generator, 50)) {
    put_list(generator, depth, 2, '[', ']', put_deep);
  } else {
    put_list(generator, depth, 2, '{', '}', put_deep_member);
  }
}

void generate_document(unsigned number, Text* out) {
  Generator generator = {0x9e3779b97f4a7c15ull ^ ((uint64_t)number << 17), out,
                         0, kDocumentValues};
  next_random(&generator);
  text_clear(out);
  switch (number % kShapeCount) {
    case 0:
      put_list(&generator, 0, kDocumentValues, '[', ']', put_record);
      break;
    case 1:
      put_list(&generator, 0, kDocumentValues, '[', ']', put_number_row);
      break;
    case 2:
      put_list(&generator, 0, kDocumentValues, '[', ']', put_string_element);
      break;
    case 3:
      put_list(&generator, 0, kDocumentValues, '[', ']', put_deep);
      break;
    case 4:
      put_list(&generator, 0, kDocumentValues, '[', ']', put_mixed);
      break;
    default:
      generator.comments = 1;
      put_list(&generator, 0, kDocumentValues, '{', '}', put_mixed_member);
      break;
  }
}
