/* Open flag that makes a low-level file translate line feeds the way the
 * platform's text files do: O_TEXT on Windows (each "\n" stored as "\r\n"),
 * nothing on POSIX, where text and binary files are the same. */
#ifndef RUVADO_TEXTMODE_H
#define RUVADO_TEXTMODE_H

#ifdef __cplusplus
extern "C" {
#endif

extern const int TextModeOpenFlag; /* or-ed into the flags given to open() */

#ifdef __cplusplus
}
#endif

#endif
