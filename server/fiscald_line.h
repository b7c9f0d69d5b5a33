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
 *   LineKeepMemory(on)            the next worker sends no probe, so that a kept
 *                                 command can be settled: 1 when it can (the
 *                                 rate is fixed or remembered); off: always 1
 *   LineRateKnown()               1 when the next command goes without a search
 *   LineCanResend()               1 when the packet layer can send under a
 *                                 given sequence byte (settle a resend)
 *   LineWatchFd() / LineDeviceLost()  the device to watch while idle, or -1;
 *                                 it hung up: the line is down
 *   LineDescribe(view)            what the status shows of the line
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

/* The line as the status shows it. */
typedef struct LineView {
    int state;             /* LineState */
    long rate;             /* the rate found or remembered; 0: none */
    int searching;         /* opening with a rate search */
    int no_controller;     /* the last search found the controller at no rate */
    long long since_ms;    /* when it was opened, last went down, or was last ready */
    const char *port_name; /* under /dev/ */
} LineView;

/* last_seq: the sequence byte of the last frame an earlier server sent, 0: none. */
void LineConfigure(const ServerOptions *options, long remembered_rate, int last_seq);
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
int LineLastSeq(void);
long LineRate(void); /* the rate found or remembered; 0: none */
int LineKeepMemory(int on);
int LineRateKnown(void);
int LineCanResend(void);
int LineWatchFd(void);
void LineDeviceLost(void);
void LineDescribe(LineView *view);

/* The handover to a newly installed program (fiscald_handover.h). */
size_t LineHandoverSize(void);
void LineHandOver(void);
int LineHandOverState(int fd);
void LineHandOverUndo(void);
int LineTakeOver(int fd);

#ifdef __cplusplus
}
#endif

#endif
