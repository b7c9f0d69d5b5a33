/*
 * The messages between the server and its line worker, one per SEQPACKET
 * message: the worker's set-up (copied into it at fork), a command to run,
 * and the worker's reports (the line ready, keep-alives, a command's result).
 */
#ifndef FISCALD_WORKERMESSAGES_H
#define FISCALD_WORKERMESSAGES_H

#include "fiscald_device.h"
#include "fiscalpacket.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WorkerSetup {
    char port_name[FISCALD_MAX_NAME + 1]; /* under /dev/ */
    long baud;                            /* -b, 0: none */
    int search;                           /* -s */
    long remembered_rate;                 /* tried first with one probe; 0: none */
    int probe_first;                      /* send one probe even at a fixed rate */
    int fresh_start;                      /* the server's first worker */
    int keep_memory;                      /* no probe at all: a kept command's resend must find the
                                             controller's memory of its frame; the remembered rate is taken */
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
    long rate;        /* READY, RESULT: the line's rate now; 0: the next command searches */
    int probes;       /* READY, RESULT: probe frames sent meanwhile */
    int keepalive;    /* KEEPALIVE: FRAME_DC2 or FRAME_DC4 */
    int answered;     /* RESULT: 1 the controller answered */
    int packet_error; /* RESULT: PacketLastError */
    int may_have_run; /* RESULT: PacketMayHaveRun */
    int line_gone;    /* RESULT: the worker ends after this report */
    int can_resend;   /* READY, NO_RATE: 1 the packet layer sends under the sequence
                         byte asked for, so a resend can be settled; 0 it picks its own:
                         a resend must not be sent (WORKER_CANNOT_RESEND) */
    unsigned short status1;
    unsigned short status2;
    char answer[PACKET_ANSWER_SIZE];
} WorkerReport;

/* RESULT packet_error, beside the PACKET_* codes: a resend refused unsent
 * (answered 0, may_have_run 0), because the packet layer cannot send under a
 * chosen sequence byte; its first send stays unknown (REPLY_UNSETTLED). */
#define WORKER_CANNOT_RESEND 100

/* The worker's exit status when it ends because the line is gone. */
#define WORKER_EXIT_LINE_GONE 3

#ifdef __cplusplus
}
#endif

#endif
