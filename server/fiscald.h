/*
 * fiscald - the command server between TCP clients (ruvado) and one fiscal
 * controller line. Replies, options and rules: docs/server.md.
 *
 * The server runs as two processes: this one keeps the clients, their queue
 * and the device's lock; a line worker (a child) opens the device with the
 * driver and runs each command through the packet layer. A driver call that
 * ends its process ends only the worker, which is started again.
 *
 *   fiscald_options   ParseServerOptions: command line, usage, version
 *   fiscald_access    AccessAdd / AccessAllows: allow-list of client networks
 *   fiscald_device    DeviceName / DeviceTake: resolve links, check, lock
 *   fiscald_worker    WorkerStart / the worker's own loop
 *   fiscald_line      the line as the server sees it: worker, state, reopening
 *   fiscald_clients   accepting, receiving, interim and final replies, idling
 *   fiscald_dispatch  the queue: first come, first served; settling unknowns
 *   fiscald_serve     the loop: one poll for signals, clients and the worker
 *   fiscald_reply     reply texts
 *   fiscald_journal   messages as plain lines on standard error
 *   fiscald_state     the state file (the rate found)
 */
#ifndef FISCALD_H
#define FISCALD_H

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>

#include "clientprotocol.h"
#include "fiscalpacket.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_DEFAULT_ADDRESS    "127.0.0.1"
#define FISCALD_DEFAULT_PORT       CLIENT_DEFAULT_PORT
#define FISCALD_DEFAULT_INTERIM_MS 10000 /* well under ruvado's 15 s per receive */
#define FISCALD_INTERIM_MIN_MS     100
#define FISCALD_INTERIM_MAX_MS     60000
#define FISCALD_INTERIM_GAP_MS     1000 /* least time between an interim and the final */
#define FISCALD_DEFAULT_IDLE_S     300  /* a silent client is let go after this */
#define FISCALD_MAX_IDLE_S         86400
#define FISCALD_DEFAULT_CLIENTS    64
#define FISCALD_MAX_CLIENTS        1000
#define FISCALD_MAX_NETWORKS       64   /* entries of the allow-list */
#define FISCALD_MAX_NAME           44   /* port name: "/dev/" + name must fit 50 bytes */
#define FISCALD_MAX_PATH           4095 /* the device as given */
#define FISCALD_RECEIVE_MAX        CLIENT_COMMAND_MAX
#define FISCALD_REPLY_MAX          CLIENT_REPLY_MAX
/* A command still running this long after SIGTERM is given up. */
#define FISCALD_STOP_LIMIT_MS 20000
/* The line waits this long for the resend of a command whose outcome is unknown. */
#define FISCALD_SETTLE_HOLD_MS 3000

/* --- options --- */
typedef struct AccessNetwork {
    unsigned int address; /* host order, already masked */
    unsigned int mask;    /* host order */
} AccessNetwork;

typedef struct AccessList {
    int count; /* 0: every client is allowed */
    AccessNetwork networks[FISCALD_MAX_NETWORKS];
} AccessList;

typedef struct ServerOptions {
    const char *address; /* dotted IPv4 to listen on */
    long tcp_port;       /* 0: any free port */
    long baud;           /* 0: start_comm's 9600 */
    int search;          /* search the rate instead */
    long interim_ms;
    long try_limit_ms; /* 0: the packet layer's default */
    long idle_s;       /* 0: never */
    long max_clients;
    AccessList access;
    int verbose;            /* trace on standard output */
    const char *trace_file; /* null: none */
    int journal;            /* every message as a plain line on standard error */
    const char *state_file; /* null: none */
    const char *device;     /* as given on the command line */
} ServerOptions;

/* -1: go on and serve; otherwise the exit status (0 help or version, 2 a bad
 * option; the message is printed). */
int ParseServerOptions(int argc, char **argv, ServerOptions *options);

/* "a.b.c.d/n" or "a.b.c.d", several separated by commas or blanks; an empty
 * text adds nothing. 0, or -1 (list unchanged) for a bad entry or a full list. */
int AccessAdd(AccessList *list, const char *text);
int AccessAllows(const AccessList *list, unsigned int address); /* 1 or 0 */
int AccessIsLoopback(const char *listen_address);               /* 1 or 0 */

/* --- device --- */
/* The name start_comm takes for the device as given ("ttyS0", "/dev/ttyS0",
 * a link such as "/dev/serial/by-id/..."), links resolved now. 0; -1 with
 * errno (ENAMETOOLONG when the resolved name passes FISCALD_MAX_NAME). */
int DeviceName(const char *given, char *name, size_t size);
/* Opens "/dev/<name>" as start_comm will, checks it is a terminal and locks
 * it for this server alone. The locked descriptor, or -1 with a message in
 * reason (which group gives access, which process holds it). */
int DeviceTake(const char *name, char *reason, size_t size);
/* 1 while the locked descriptor still reaches a device that has not hung up. */
int DeviceStillThere(int locked);
void DeviceExclusive(int locked, int on); /* TIOCEXCL / TIOCNXCL */

/* --- line worker --- */
typedef struct WorkerSetup {
    char port_name[FISCALD_MAX_NAME + 1]; /* under /dev/ */
    long baud;                            /* -b, 0: none */
    int search;                           /* -s */
    long remembered_rate;                 /* tried first with one probe; 0: none */
    int probe_first;                      /* send one probe even at a fixed rate */
    int try_limit_ms;                     /* 0: default */
    int next_seq;                         /* the line's next sequence byte; 0: the packet layer's */
} WorkerSetup;

typedef struct WorkerRequest {
    int seq; /* the sequence byte to send under */
    int length;
    char body[PACKET_MAX_COMMAND + 1]; /* NUL-terminated */
} WorkerRequest;

enum WorkerReportKind {
    REPORT_READY = 1, /* the line is open at a rate (rate 0: start_comm's 9600) */
    REPORT_NO_RATE,   /* the line is open; the search found no controller */
    REPORT_KEEPALIVE, /* the controller works on the command (keepalive: DC2/DC4) */
    REPORT_RESULT     /* the command's outcome */
};

typedef struct WorkerReport {
    int kind;         /* WorkerReportKind */
    long rate;        /* READY */
    int probes;       /* READY, RESULT: probe frames sent meanwhile */
    int keepalive;    /* KEEPALIVE: 0x12 or 0x14 */
    int answered;     /* RESULT: 1 the controller answered */
    int packet_error; /* RESULT: PacketLastError */
    int may_have_run; /* RESULT: PacketMayHaveRun */
    int line_gone;    /* RESULT: the worker ends after this report */
    unsigned short status1;
    unsigned short status2;
    char answer[PACKET_ANSWER_SIZE];
} WorkerReport;

#define WORKER_EXIT_LINE_GONE 3

/* Forks the worker: its pid and this side's socket, or -1. */
int WorkerStart(const WorkerSetup *setup, pid_t *pid, int *sock);

/* --- the line, as the server keeps it --- */
enum LineState { LINE_DOWN, LINE_OPENING, LINE_READY, LINE_BUSY };

void LineConfigure(const ServerOptions *options, long remembered_rate);
/* At start-up: resolve, open and lock the device. 0, or -1 (message printed). */
int LineStartUp(void);
int LineState(void);
int LineSocket(void); /* the worker's socket to poll, or -1 */
/* Tries to reopen a line that is down, at most every retry interval unless
 * forced (a command waits). */
void LineReopen(long long now, int forced);
long long LineNextWakeMs(long long now);
/* Sends one command to the worker; 0, or -1 when the line cannot take it. */
int LineSubmit(const char *body, int length, int seq);
/* Reads one report; 1 read, 0 none waiting. */
int LineReceive(WorkerReport *report);
/* A result said the line is gone: the worker ends by itself, and the line
 * is down from now on. */
void LineWorkerLostLine(void);
/* After SIGCHLD: reaps every ended child; 1 when the worker ended without
 * saying so first (the line is down now). Read its reports before. */
int LineReap(void);
void LineClose(void);
/* The sequence byte for a new command: one past the last one used. */
int LineTakeSeq(void);
/* Frames (commands and probes) sent on the line so far. */
long long LineFrames(void);

/* --- clients --- */
/* 0, or -1 with the failing call in *reason and errno set. */
int ClientsListen(const char *address, int port, int *bound_port, const char **reason);
void ClientsConfigure(const ServerOptions *options);
int ClientsListenSocket(void);
void ClientsStopListening(void);
/* Takes every client waiting; limits and the allow-list applied. */
void ClientsAccept(long long now);
/* Fills pollfds for every client; returns how many were written. */
int ClientsPollSet(struct pollfd *fds, int room);
/* Events of the pollfds filled above: hang-ups and new commands. */
void ClientsOnEvents(const struct pollfd *fds, int count, long long now);
/* Interims, replies due, idle clients. */
void ClientsTick(long long now);
long long ClientsNextWakeMs(long long now);
/* The client with this id: its slot, or -1 when it is gone. */
int ClientSlot(long long id);
int ClientStillConnected(int slot); /* 1, or 0 (closed or reset; slot freed) */
long long ClientId(int slot);
unsigned int ClientPeer(int slot);
int ClientIsFirstCommand(int slot);
/* The command of a client waiting in the queue. */
const char *ClientCommand(int slot, int *length);
void ClientSetWorking(int slot, int keepalive_kind);
/* The final reply: sent at once, or as soon as the last interim reply is a
 * gap behind. */
void ClientReply(int slot, const char *reply, int length, long long now);
void ClientsCloseAll(void);
int ClientsPending(void); /* replies not yet sent */

/* --- dispatch: the queue and settling --- */
void DispatchCommand(int slot, const char *command, int length, long long now);
void DispatchClientGone(long long client_id);
void DispatchRun(long long now);
void DispatchReport(const WorkerReport *report, long long now);
void DispatchLineDown(long long now);
void DispatchStop(long long now);
int DispatchBusy(void); /* 1 while a command is on the line */
void DispatchGiveUp(long long now);
long long DispatchNextWakeMs(long long now);

/* --- serving loop --- */
/* Blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD and returns a descriptor that
 * reads them, or -1. */
int ServeCatchSignals(void);
/* Waits for the line worker's first report: 0 the line is ready, 1 it
 * failed, 2 a signal asked to end meanwhile. */
int ServeWaitForLine(int signals);
/* One round: waits for something to do (at most wait_limit_ms) and does it.
 * 1 while serving; 0 once an end asked for by a signal is complete. */
int ServeRound(int signals, int wait_limit_ms);

/* --- reply text --- */
int ReplyAnswer(char *out, size_t size, unsigned short status1, unsigned short status2,
                const char *fields);
int ReplyError(char *out, size_t size, const char *reason, const char *outcome);
/* "DC2" for the controller working, "DC4" for it waiting for paper. */
const char *ReplyInterim(int kind);
/* Printable copy for the trace: FS as '|', other control bytes as '.'. */
void ReplyPrintable(const char *bytes, size_t length, char *out, size_t size);

/* --- journal, state --- */
/* From now on every message goes to standard error as a plain line; a trace
 * file, if set, keeps getting its stamped lines. */
void JournalUse(void);
/* The rate in the state file, or 0 when it is missing or bad. */
long StateReadRate(const char *path);
/* Written whole or not at all; 0 or -1. */
int StateWriteRate(const char *path, long rate);

#ifdef __cplusplus
}
#endif

#endif
