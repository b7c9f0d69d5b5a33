/*
 * fiscald_line - the controller's line as the server keeps it: the device
 * locked for this server, the worker that has it open, reopening after the
 * device vanished or the worker ended. Never waits on the device.
 *
 *   LineConfigure(options, rate)  settings, and the rate a state file kept
 *   LineStartUp()                 resolve, open and lock the device, start
 *                                 the worker: 0, or -1 (message printed)
 *   LineState() / LineSocket()    LineState value; the worker's socket or -1
 *   LineReopen(now, forced)       a line that is down is tried again, at most
 *                                 every retry interval unless forced
 *   LineSubmit(body, length, seq) one command to the worker: 0, or -1
 *   LineReceive(report)           one report read: 1, or 0 none waiting
 *   LineWorkerLostLine()          a result said the line is gone
 *   LineReap()                    after SIGCHLD: 1 when the worker ended
 *                                 without saying so (the line is down now)
 *   LineTakeSeq() / LineFrames()  a new command's sequence byte; frames sent
 */
#ifndef FISCALD_LINE_H
#define FISCALD_LINE_H

#include "fiscald_options.h"
#include "workermessages.h"

#ifdef __cplusplus
extern "C" {
#endif

enum LineState {
    LINE_DOWN,    /* no worker: the device is gone or being brought back */
    LINE_OPENING, /* a worker sets the rate (or searches it) */
    LINE_READY,   /* idle, takes a command */
    LINE_BUSY     /* a command is on the line */
};

void LineConfigure(const ServerOptions *options, long remembered_rate);
int LineStartUp(void);
int LineState(void);
int LineSocket(void);
void LineReopen(long long now, int forced);
long long LineNextWakeMs(long long now);
int LineSubmit(const char *body, int length, int seq);
int LineReceive(WorkerReport *report);
void LineWorkerLostLine(void);
int LineReap(void);
void LineClose(void);
int LineTakeSeq(void);
long long LineFrames(void);

#ifdef __cplusplus
}
#endif

#endif
