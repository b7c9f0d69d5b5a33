/*
 * fiscald_serve - the serving loop: one poll for the signals, the listening
 * socket, the line worker and every client.
 *
 *   ServeCatchSignals()        blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD
 *                              and returns a descriptor that reads them, or -1
 *   ServeWaitForLine(signals)  the worker's first report: 0 the line is
 *                              ready, 1 it failed, 2 a signal asked to end
 *   ServeRound(signals, limit) waits (at most limit ms) and does what is due:
 *                              1 while serving, 0 once an asked end is done,
 *                              2 when a handover asked for by SIGUSR2 can go
 *   ServeHandoverFailed()      the handover did not happen: serve on
 */
#ifndef FISCALD_SERVE_H
#define FISCALD_SERVE_H

#ifdef __cplusplus
extern "C" {
#endif

/* A command still running this long after SIGTERM is given up. */
#define FISCALD_STOP_LIMIT_MS 20000

int ServeCatchSignals(void);
int ServeWaitForLine(int signals);
int ServeRound(int signals, int wait_limit_ms);
void ServeHandoverFailed(void);

#ifdef __cplusplus
}
#endif

#endif
