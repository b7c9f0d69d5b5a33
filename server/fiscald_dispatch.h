/*
 * fiscald_dispatch - commands from many clients onto the one line, first
 * come, first served; a command whose client has left never runs; a
 * command whose outcome its client did not learn is kept, so that sending
 * it again settles it instead of running it twice.
 *
 *   DispatchCommand(command, now)  a client's command: answered at once, or
 *                                  queued with its decisions made
 *   DispatchRun(now)               the next queued command onto a free line
 *   DispatchReport(report, now)    a worker report on the command on the line
 *   DispatchLineDown(now)          the line went down
 *   DispatchReplyDelivered(id)     a final reply held for an interim's gap left
 *   DispatchStop(now)              the server ends: the queue is told so
 *   DispatchConfigure(options)     settings
 *   DispatchRestore(record, now)   at start: what an earlier server kept
 *   DispatchGiveUp(now)            the command on the line is given up
 *   DispatchBusy()                 1 while a command is on the line
 *   DispatchNextWakeMs(now)        when the dispatch has something to do
 */
#ifndef FISCALD_DISPATCH_H
#define FISCALD_DISPATCH_H

#include "fiscald_clients.h"
#include "fiscald_options.h"
#include "fiscald_state.h"
#include "workermessages.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The line waits this long for the resend of a command whose outcome is unknown. */
#define FISCALD_SETTLE_HOLD_MS 3000
/* A kept command no connection holds is let go after this without a resend. */
#define FISCALD_KEEP_LIMIT_MS 300000

void DispatchCommand(const ReceivedCommand *command, long long now);
void DispatchRun(long long now);
void DispatchReport(const WorkerReport *report, long long now);
void DispatchLineDown(long long now);
void DispatchReplyDelivered(long long client_id, long long now);
void DispatchStop(long long now);
void DispatchConfigure(const ServerOptions *options);
void DispatchRestore(const StateRecord *record, long long now);

/* The handover to a newly installed program (fiscald_handover.h): paused,
 * nothing more goes on the line. */
void DispatchPause(int paused);
size_t DispatchHandoverSize(void);
int DispatchHandOver(int fd);
int DispatchTakeOver(int fd);
void DispatchGiveUp(long long now);
int DispatchBusy(void);
long long DispatchNextWakeMs(long long now);

#ifdef __cplusplus
}
#endif

#endif
