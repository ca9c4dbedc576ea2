#ifndef OSTRIVEL_PROBE_H_
#define OSTRIVEL_PROBE_H_

/* The Ostrivel probe: counts method calls of a program under test into the
 * counter segments of a running ostrivel-service (POSIX shared memory).
 *
 * Link the program with -lostrivel-probe. Two ways of counting:
 * - explicitly, from C, C++ or any language with a C FFI:
 *     ostrivel_probe_count("Shop", 3);   counts one call of method line 3
 *                                        (from 0) of the application "Shop";
 * - automatically, for C and C++ programs built with -finstrument-functions:
 *   set OSTRIVEL_METHOD_LIST to the program's method-list file (written by
 *   ostrivel-methods) and every entry of a listed function is counted.
 *
 * The channel that names the segments comes from the environment variable
 * OSTRIVEL_CHANNEL ("default" when unset) and must match the service's
 * --channel. It is read once, at the first count. The segments are per
 * user: the program counts only into a segment of its own effective user
 * with mode 0600, so it must run as the service's user. A segment that fails
 * this check is not counted into, and one line on standard error says so.
 *
 * A call is in the segment as soon as the function returns: nothing is
 * buffered, so a process that exits or is killed has all its calls counted.
 * Every function is safe to call from several threads at once, never
 * crashes on bad input, and never writes to standard output. */

#if defined(_WIN32)
#define OSTRIVEL_PROBE_API
#else
#define OSTRIVEL_PROBE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define OSTRIVEL_PROBE_OK 0
/* No segment for the application on this channel: the service is not
 * running, or its methods directory names no such application. */
#define OSTRIVEL_PROBE_NO_SEGMENT 1
/* The method index is not below the application's number of methods. */
#define OSTRIVEL_PROBE_OUT_OF_RANGE 2
/* The application name is NULL. */
#define OSTRIVEL_PROBE_BAD_ARGUMENT 3

/* Counts one call of method "method_index" of "application". Returns one of
 * the codes above; on anything but OSTRIVEL_PROBE_OK nothing is counted.
 * While the segment is missing, it is looked for at most once a second, so
 * that a program counting without a service is slowed down by no more than
 * a clock read per call. */
OSTRIVEL_PROBE_API int ostrivel_probe_count(const char* application,
                                            unsigned method_index);

/* Counts "calls" calls at once. Same results as ostrivel_probe_count(). */
OSTRIVEL_PROBE_API int ostrivel_probe_add(const char* application,
                                          unsigned method_index,
                                          unsigned long long calls);

/* Maps the segment of "application" now, so that the first count does not
 * pay for it; looks for a missing segment at once, whenever it last did.
 * Returns OSTRIVEL_PROBE_OK or OSTRIVEL_PROBE_NO_SEGMENT (or
 * OSTRIVEL_PROBE_BAD_ARGUMENT). */
OSTRIVEL_PROBE_API int ostrivel_probe_attach(const char* application);

/* The number of methods of "application", or -1 without a segment. */
OSTRIVEL_PROBE_API long long ostrivel_probe_method_count(
    const char* application);

/* 1 when automatic counting of -finstrument-functions entries is on, else 0. */
OSTRIVEL_PROBE_API int ostrivel_probe_automatic(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTRIVEL_PROBE_H_ */
