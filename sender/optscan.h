/* Option scanner of ruvado.
 *
 *   getopt(argc, argv, optstring)  next option character, '?' for an unknown
 *                                  option or a missing argument, -1 at the end
 *   getopt_reset()                 start scanning again from argv[1]; returns 0
 *
 * Differs from the C library's scanner on purpose: it never prints, a lone "-"
 * and "--" both end the options and are consumed, and scanning stops at the
 * first operand. The state is process-wide, like the library's, and the names
 * and signature match it so both declarations may meet in one program.
 */
#ifndef RUVADO_OPTSCAN_H
#define RUVADO_OPTSCAN_H

/* The C library declares the same names in <unistd.h>; it is read first so
 * that the declarations below repeat it rather than clash with it. */
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* glibc declares its getopt noexcept in C++; a redeclaration (and the
 * definition) must say the same or clang refuses it. MinGW's says nothing. */
#if defined(__cplusplus) && defined(__GLIBC__)
#define RUVADO_GETOPT_NOEXCEPT noexcept
#else
#define RUVADO_GETOPT_NOEXCEPT
#endif

extern int optind;   /* index in argv of the next argument to scan, from 1 */
extern char *optarg; /* argument of the option just returned, or null */

int getopt(int argc, char *const argv[], const char *optstring) RUVADO_GETOPT_NOEXCEPT;
int getopt_reset(void);

#ifdef __cplusplus
}
#endif

#endif
