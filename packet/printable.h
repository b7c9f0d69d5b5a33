/*
 * printable - the printable copy of a command or an answer, for a log line,
 * a journal or a message: one line on any terminal, the fields still told
 * apart.
 *
 *   PrintableCopy(bytes, length, out, size)  FS (0x1C) as '|', any other
 *                                            control byte (below 0x20, and
 *                                            0x7F) as '.', the rest as is;
 *                                            the bytes written, terminator
 *                                            excluded
 */
#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One byte out for each byte in, up to size - 1 of them, then a NUL; with
 * size 0 nothing is written and 0 is returned. */
size_t PrintableCopy(const char *bytes, size_t length, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
