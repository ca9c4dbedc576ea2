/* The text buffer and the arena: the allocations of one test. */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/call_dense/call_dense.h"

static void* grow(void* block, size_t* capacity, size_t needed, size_t unit) {
  size_t wanted = *capacity == 0 ? 64 : *capacity;
  while (wanted < needed) wanted *= 2;
  if (wanted == *capacity) return block;
  void* grown = realloc(block, wanted * unit);
  if (grown == NULL) {
    fputs("call_dense: out of memory\n", stderr);
    exit(3);
  }
  *capacity = wanted;
  return grown;
}

void text_init(Text* text) { memset(text, 0, sizeof *text); }

void text_free(Text* text) {
  free(text->bytes);
  text_init(text);
}

void text_clear(Text* text) {
  text->size = 0;
  if (text->bytes != NULL) text->bytes[0] = '\0';
}

void text_put(Text* text, char c) {
  if (text->size + 2 > text->capacity) {
    text->bytes = grow(text->bytes, &text->capacity, text->size + 2, 1);
  }
  text->bytes[text->size++] = c;
  text->bytes[text->size] = '\0';
}

void text_append(Text* text, const char* bytes, size_t size) {
  if (text->size + size + 1 > text->capacity) {
    text->bytes = grow(text->bytes, &text->capacity, text->size + size + 1, 1);
  }
  memcpy(text->bytes + text->size, bytes, size);
  text->size += size;
  text->bytes[text->size] = '\0';
}

void arena_init(Arena* arena) { memset(arena, 0, sizeof *arena); }

void arena_free(Arena* arena) {
  free(arena->nodes);
  free(arena->chars);
  arena_init(arena);
}

void arena_reset(Arena* arena) {
  arena->node_count = 0;
  arena->char_count = 0;
}

void arena_reserve(Arena* arena, size_t size) {
  arena_reset(arena);
  arena->nodes =
      grow(arena->nodes, &arena->node_capacity, size + 1, sizeof(Node));
  arena->chars = grow(arena->chars, &arena->char_capacity, size + 1, 1);
}
