/*
 * fiscalsim - a fiscal controller simulated on a pseudo-terminal
 * (docs/simulator.md). One simulator per process.
 *
 *   fiscalsim_open(baud, busy_ms, link)  open the pty; 0 or -1 (errno kept)
 *   fiscalsim_port_name()        name for start_comm, such as "pts/4"
 *   fiscalsim_run()              serve until fiscalsim_stop; run it on a thread
 *   fiscalsim_stop()             end fiscalsim_run; safe in a signal handler
 *   fiscalsim_close()            close the pty, remove the link
 *   fiscalsim_set_rate / fiscalsim_set_busy   line rate answered at / slow command time
 *   fiscalsim_answer_late(n, ms) hold the next n answers ms longer
 *   fiscalsim_drop(n)            ignore the next n command frames
 *   fiscalsim_garble(n)          damage the checksum of the next n answers
 *   fiscalsim_set_wire(on)       pace both ways at the line rate (ten bit times a byte)
 *   fiscalsim_vanish()           close the pty as an unplugged device does
 *   fiscalsim_come_back()        open a new pty (the name may change)
 *   fiscalsim_frames_received() / fiscalsim_commands_executed()  counters
 *   fiscalsim_control_fifo(path) take control lines from a new FIFO at path
 *   fiscalsim_journal(path)      append a line per command run to path
 */
#ifndef FISCALSIM_H
#define FISCALSIM_H

#include "siminternal.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The simulator's own defaults and limits, under the names hosts use. */
#define FISCALSIM_DEFAULT_BAUD    SIM_DEFAULT_BAUD
#define FISCALSIM_DEFAULT_BUSY_MS SIM_DEFAULT_BUSY_MS
#define FISCALSIM_KEEPALIVE_MS    SIM_KEEPALIVE_MS /* DC2/DC4 interval while working */
#define FISCALSIM_PATH_MAX        SIM_PATH_MAX     /* link and FIFO paths, terminator included */

/* link: NULL, or a path kept as a symbolic link to the pty's slave. */
int fiscalsim_open(long baud, int busy_ms, const char *link);
const char *fiscalsim_port_name(void);
int fiscalsim_run(void);
void fiscalsim_stop(void);
void fiscalsim_close(void);
int fiscalsim_set_rate(long baud); /* 0, or -1 for a rate termios lacks */
void fiscalsim_set_busy(int busy_ms);
void fiscalsim_set_wire(int on); /* 1: paced; 0: at once (the default) */
void fiscalsim_answer_late(int count, int delay_ms);
void fiscalsim_drop(int count);
void fiscalsim_garble(int count);
int fiscalsim_vanish(void);           /* 0 */
int fiscalsim_come_back(void);        /* 0, or -1 when no pty could be opened */
long fiscalsim_frames_received(void); /* sound command frames, at any rate */
long fiscalsim_commands_executed(void);
/* Both before fiscalsim_run; a second call replaces the first. fiscalsim_close
 * closes them and removes the FIFO. 0, or -1 with errno (EEXIST: path taken). */
int fiscalsim_control_fifo(const char *path);
int fiscalsim_journal(const char *path);
/* Terminal speed code for a rate in bits per second, 0 when there is none. */
unsigned int fiscalsim_speed_code(long baud);

#ifdef __cplusplus
}
#endif

#endif
