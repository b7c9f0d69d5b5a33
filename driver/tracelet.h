/*
 * tracelet - the driver's single message channel.
 *
 *   Tracelet(fmt, ...)            hand a message (no line ending) to the trace function
 *   SetTracelet(fn)               install fn, return the one it replaces
 *   set_debug_options(d, s, path) console switch, file switch, file path
 *                                 ("" means "/etc/fiscal.log")
 *   FISCAL_debug(fmt, args)       the default trace function
 *   debopen(path)                 open the trace file for appending, restarting
 *                                 it once it has grown past 499999 bytes
 */
#ifndef TRACELET_H
#define TRACELET_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TRACELET_PATH_MAX 399 /* characters of a trace file path; a longer one is refused */

typedef void (*TraceFunction)(const char *format, va_list args);

extern int fdebug; /* non-zero: print each message on the console */
extern int fsave;  /* non-zero: append each message to the trace file */

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Tracelet(const char *format, ...);
TraceFunction SetTracelet(TraceFunction function);
/* 0 when set; -1 when the path is over TRACELET_PATH_MAX characters
 * (switches set, the previous path kept). */
int set_debug_options(int debug, int save, const char *path);
void FISCAL_debug(const char *format, va_list args);
int debopen(const char *path); /* descriptor, or -1 */

#ifdef __cplusplus
}
#endif

#endif
