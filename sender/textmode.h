/* Text files the way the platform has them.
 *
 *   TEXT_MODE_OPEN_FLAG        open flag that makes a low-level file translate
 *                           line feeds: O_TEXT on Windows (each "\n" stored
 *                           as "\r\n"), nothing on POSIX
 *   OpenCommandFile(path)   the command file open for reading in text mode,
 *                           or null with errno set; a directory is refused
 *                           (EISDIR) on POSIX as Windows refuses it */
#ifndef RUVADO_TEXTMODE_H
#define RUVADO_TEXTMODE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const int TEXT_MODE_OPEN_FLAG; /* or-ed into the flags given to open() */
FILE *OpenCommandFile(const char *path);

#ifdef __cplusplus
}
#endif

#endif
