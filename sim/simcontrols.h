/*
 * simcontrols - what steers the simulator from outside its line: the control
 * FIFO that scripts write lines to, and the journal of the commands that ran
 * (docs/simulator.md).
 *
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

/* ControlFifoNext results */
#define CONTROL_IDLE    0   /* no whole line is left */
#define CONTROL_APPLIED 1   /* a line was acted on, or reported and ignored */
#define CONTROL_VANISH  2   /* "vanish": the caller closes the line */
#define CONTROL_BACK    3   /* "back": the caller opens a new line */

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
