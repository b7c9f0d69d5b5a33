/*
 * fiscald_state - the line's memory on disk: the rate the controller was
 * last found at, the sequence byte of the last frame sent, and the commands
 * whose outcome their client did not learn. A record is written whole or
 * not at all, with a checksum; a torn or damaged one reads as none.
 *
 *   StateOpen(path, record, reason, size)  opens (or creates) the file and
 *       reads the newest sound record into *record (empty when none): 0, or
 *       -1 with why in reason (not a regular file, cannot be opened)
 *   StateSave(record, durable)  writes the record; durable: on the disk
 *       before it returns. 0, or -1 with errno; 0 when no file is open
 *   StateClose()
 */
#ifndef FISCALD_STATE_H
#define FISCALD_STATE_H

#include "clientprotocol.h"
#include "fiscalpacket.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_MAX_KEPT 256 /* commands kept at once; the oldest gives way */

enum StateKeptKind {
    KEPT_UNKNOWN = 1, /* it may have run: settled by the controller's memory */
    KEPT_REPLY = 2    /* it ran, its reply never reached the client: kept here */
};

typedef struct StateKept {
    int kind;          /* StateKeptKind */
    int settleable;    /* 1: its frame is the last the controller got */
    unsigned int peer; /* the client's address, host order */
    int seq;           /* the sequence byte it went under */
    long long age_s;   /* how long it has been kept, in the servers' running time */
    int length;
    char body[PACKET_MAX_COMMAND + 1];
    int reply_length; /* KEPT_REPLY */
    char reply[CLIENT_REPLY_MAX + 1];
} StateKept;

typedef struct StateRecord {
    int sound;    /* 1: read from a sound record (0: none, or a rate alone) */
    long rate;    /* 0: none kept */
    int last_seq; /* sequence byte of the last frame sent; 0: none */
    int count;
    StateKept kept[FISCALD_MAX_KEPT + 1]; /* and the command on the line */
} StateRecord;

int StateOpen(const char *path, StateRecord *record, char *reason, size_t size);
int StateSave(const StateRecord *record, int durable);
void StateClose(void);

#ifdef __cplusplus
}
#endif

#endif
