/*
 * simloop - the simulator's loop: one thread polls the line, the control
 * FIFO and a wake-up pipe, and hands what comes to the responder. Other
 * threads ask it to stop, or to vanish or come back, which it does between
 * two polls.
 *
 *   SimLoopOpen()      the wake-up pipe, no stop asked; 0 or -1 (errno)
 *   SimLoopClose()     close the wake-up pipe
 *   SimLoopRun()       serve until SimLoopStop; 0
 *   SimLoopStop()      end SimLoopRun; safe in a signal handler
 *   SimLoopVanish()    close the pty as an unplugged device does; 0
 *   SimLoopComeBack()  open a new pty; 0, or -1 (errno) when none could be opened
 *
 * SimLoopVanish and SimLoopComeBack wait for a running loop to do it, and do
 * it themselves while none runs.
 */
#ifndef SIMLOOP_H
#define SIMLOOP_H

#ifdef __cplusplus
extern "C" {
#endif

int SimLoopOpen(void);
void SimLoopClose(void);
int SimLoopRun(void);
void SimLoopStop(void);
int SimLoopVanish(void);
int SimLoopComeBack(void);

#ifdef __cplusplus
}
#endif

#endif
