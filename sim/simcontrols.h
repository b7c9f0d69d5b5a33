/*
 * simcontrols - what steers the simulator from outside its line: the settings
 * and fault counters the public calls set (from any thread), the control FIFO
 * that scripts write lines to, and the journal of the commands that ran
 * (docs/simulator.md).
 *
 *   ControlsReset(baud, busy_ms)  a new simulator: these settings, no faults
 *   ControlsSettings(settings)    the settings as they are now
 *   ControlsTakeDrop() / ControlsTakeLate() / ControlsTakeGarble()
 *                                 use up one of the faults asked for, if any
 *   ControlsCountFrame() / ControlsCountCommand()   the public counters
 *   ControlFifoCreate(path)  make a new FIFO at path and open it; 0 or -1 (errno)
 *   ControlFifoFd()          the descriptor to poll for input, -1 when none
 *   ControlFifoRead()        take in one chunk of what writers sent; 0 when none came
 *   ControlFifoNext()        act on the next whole line taken in; CONTROL_* below
 *   ControlFifoRemove()      close the FIFO and remove it
 *   JournalOpen(path)        append to path from now on; 0 or -1 (errno)
 *   JournalRecord(body, len) one line for a command that ran
 *   JournalClose()
 */
#ifndef SIMCONTROLS_H
#define SIMCONTROLS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SimSettings {
    long baud;   /* the rate answered at, bits per second */
    int busy_ms; /* work time of the slow commands */
    int wire;    /* 1: the line takes the wire's time */
} SimSettings;

/* ControlFifoNext results */
#define CONTROL_IDLE    0 /* no whole line is left */
#define CONTROL_APPLIED 1 /* a line was acted on, or reported and ignored */
#define CONTROL_VANISH  2 /* "vanish": the caller closes the line */
#define CONTROL_BACK    3 /* "back": the caller opens a new line */

void ControlsReset(long baud, int busy_ms);
void ControlsSettings(SimSettings *settings);
int ControlsTakeDrop(void);   /* 1: ignore this frame */
int ControlsTakeLate(void);   /* ms to hold this answer back */
int ControlsTakeGarble(void); /* 1: damage this answer */
void ControlsCountFrame(void);
void ControlsCountCommand(void);

int ControlFifoCreate(const char *path);
int ControlFifoFd(void);
int ControlFifoRead(void);
int ControlFifoNext(void);
void ControlFifoRemove(void);

int JournalOpen(const char *path);
void JournalRecord(const char *body, int len);
void JournalClose(void);

#ifdef __cplusplus
}
#endif

#endif
