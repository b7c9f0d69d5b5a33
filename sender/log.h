/* ruvado's log file: one time-stamped line per message, appended to
 * "spooler.log" in the working directory, moved aside to "spooler.l_g" once
 * it holds 500000 bytes or more.
 *
 *   LogMessage(console, format, ...)  printf-style; writes one line, and
 *                                     echoes it on standard output when the
 *                                     low byte of console is non-zero and the
 *                                     echo switch is on
 *   LogOpen(name)                     write descriptor on the log (rotating it
 *                                     first when full), or a negative value
 *   LogEcho(flag)                     sets the echo switch to 1 or 0 and
 *                                     returns the new value (starts at 1)
 */
#ifndef RUVADO_LOG_H
#define RUVADO_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

#define LOG_SIZE_LIMIT 500000L /* bytes on disk at which the log is rotated */

void LogMessage(int console, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
int LogOpen(const char *name);
int LogEcho(int flag);

#ifdef __cplusplus
}
#endif

#endif
