/*
 * simfifo - the control FIFO: lines that scripts write to steer the
 * simulator from outside its line (docs/simulator.md), taken in by the loop
 * and acted on one at a time.
 *
 *   SimFifoCreate(path)  make a new FIFO at path and open it; 0 or -1 (errno)
 *   SimFifoFd()          the descriptor to poll for input, -1 when none
 *   SimFifoRead()        take in one chunk of what writers sent; 0 when none came
 *   SimFifoNext()        act on the next whole line taken in; SIM_FIFO_* below
 *   SimFifoRemove()      close the FIFO and remove it
 */
#ifndef SIMFIFO_H
#define SIMFIFO_H

#ifdef __cplusplus
extern "C" {
#endif

/* SimFifoNext results */
#define SIM_FIFO_IDLE    0 /* no whole line is left */
#define SIM_FIFO_APPLIED 1 /* a line was acted on, or reported and ignored */
#define SIM_FIFO_VANISH  2 /* "vanish": the caller closes the line */
#define SIM_FIFO_BACK    3 /* "back": the caller opens a new line */

int SimFifoCreate(const char *path);
int SimFifoFd(void);
int SimFifoRead(void);
int SimFifoNext(void);
void SimFifoRemove(void);

#ifdef __cplusplus
}
#endif

#endif
