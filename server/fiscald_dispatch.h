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
 *   DispatchDescribe(view)         what the status shows: the queue, the
 *                                  line's command, figures since the start
 *   DispatchErrorAt(i, count)      the i-th count of error replies: 1, or 0
 *                                  past the last
 *   DispatchQueuedAt(i, view)      the i-th queued command: 1, or 0 past the last
 *   DispatchKeptAt(cursor, view)   walks the commands in doubt: 1 with the next
 *   DispatchForget(id, now)        an operator who checked the controller's
 *                                  records lets a command in doubt go: 0, or -1
 *                                  when none has that id
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

/* A command as the status shows it; body points into the dispatch's tables. */
typedef struct CommandView {
    long long id;        /* in doubt: its id for DispatchForget */
    long long client_id; /* 0: no connection holds it */
    unsigned int peer;   /* the client's address, host order */
    int resend;          /* queued: 1 a resend of a command in doubt */
    int kind;            /* in doubt: KEPT_UNKNOWN or KEPT_REPLY (it ran) */
    int settleable;      /* in doubt: 1 while its resend can still be settled */
    long long since_ms;  /* in doubt: since when */
    int length;
    const char *body;
} CommandView;

typedef struct DispatchView {
    int queued;
    int on_line; /* 1 while a command is on the line: running */
    CommandView running;
    long long answered;        /* commands the controller answered */
    long long from_memory;     /* resends answered from a reply kept for them */
    long long errors;          /* error replies, every reason */
    long long silent_since_ms; /* 0: the controller answered the last command */
    int status_known;          /* 1 once the controller has answered */
    unsigned short status1;    /* its status words in its last answer */
    unsigned short status2;
    int in_doubt; /* commands kept */
} DispatchView;

typedef struct ErrorCount {
    const char *reason;  /* REPLY_... */
    const char *outcome; /* OUTCOME_... */
    long long count;
} ErrorCount;

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
void DispatchDescribe(DispatchView *view);
int DispatchErrorAt(int index, ErrorCount *count);
int DispatchQueuedAt(int index, CommandView *view);
int DispatchKeptAt(int *cursor, CommandView *view);
int DispatchForget(long long id, long long now);

#ifdef __cplusplus
}
#endif

#endif
