// A library under test, linked into two programs and loaded by a third.
// Built twice: the second build differs only in a string, so that its
// functions lie at the same offsets under another build ID.

#ifndef SAMPLE_LIBRARY_NAME
#define SAMPLE_LIBRARY_NAME "sample library"
#endif

#define SAMPLE_API __attribute__((visibility("default"), noinline))

// Of the same name as a static function of the programs.
static __attribute__((noinline)) int Helper(int value) { return value * 3 + 1; }

SAMPLE_API int LibAlpha(int value) { return value + 1; }

SAMPLE_API int LibBeta(int value) { return Helper(value) - 1; }

SAMPLE_API int LibGamma(int value) { return value ^ 5; }

SAMPLE_API const char* LibName(void) { return SAMPLE_LIBRARY_NAME; }
