/*
 * fiscald_clients - the TCP side: every client up to the limit taken at
 * once, each receive of an idle client one command, interim replies while
 * it waits, a final reply that never shares a receive with an interim.
 * Clients are named by an id that is never reused.
 *
 *   ClientsListen(address, port, bound, reason)  0, or -1 with the failing
 *                                 call in *reason and errno set
 *   ClientsAccept(now)            takes every client waiting (limit, list)
 *   ClientsPollSet(fds, room)     a pollfd per client: how many written
 *   ClientsNextCommand(...)       walks those pollfds' events from *cursor
 *                                 on, hang-ups handled: 1 with the next
 *                                 command received, 0 when all are done
 *   ClientsDrop(id, why)          closes a client that left with its command
 *                                 unanswered (the command never runs)
 *   ClientsTick(now, sent, room)  interims, replies due, idle clients; the
 *                                 ids whose held final reply left now
 *   ClientConnected(id)           1 while connected, as last seen
 *   ClientStillConnected(id)      looks at the connection now; one found
 *                                 gone is closed: 1 or 0
 *   ClientReply(id, reply, length, now)  the final reply: 1 sent, 0 sent
 *                                 after the gap behind an interim, -1 gone
 *   ClientsAt(cursor, view)       walks the connected clients from *cursor
 *                                 on, for the status: 1 with the next, 0 done
 */
#ifndef FISCALD_CLIENTS_H
#define FISCALD_CLIENTS_H

#include "clientprotocol.h"
#include "fiscald_options.h"

#include <poll.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FISCALD_INTERIM_GAP_MS 1000 /* least time between an interim and the final */

/* One command as a client sent it. */
typedef struct ReceivedCommand {
    long long client_id;
    unsigned int peer; /* the client's address, host order */
    int first;         /* 1 for the connection's first command */
    int leaving;       /* the client shut its side right after sending it */
    int length;        /* bytes received, line ending included */
    char bytes[CLIENT_COMMAND_MAX];
} ReceivedCommand;

/* A connected client as the status shows it. */
typedef struct ClientView {
    long long id;
    unsigned int peer; /* host order */
    unsigned short peer_port;
    long long connected_ms;
    long commands; /* commands received */
    int waiting;   /* 1 while its command waits or runs */
} ClientView;

int ClientsListen(const char *address, int port, int *bound_port, const char **reason);
void ClientsConfigure(const ServerOptions *options);
int ClientsListenSocket(long long now); /* -1 while accepting is paused */
void ClientsStopListening(void);
void ClientsAccept(long long now);
int ClientsPollSet(struct pollfd *fds, int room);
int ClientsNextCommand(const struct pollfd *fds, int count, int *cursor, ReceivedCommand *command,
                       long long now);
void ClientsDrop(long long id, const char *why);
int ClientsTick(long long now, long long *delivered, int room);
long long ClientsNextWakeMs(long long now);
int ClientConnected(long long id);
int ClientStillConnected(long long id);
void ClientSetWorking(long long id, int keepalive_kind);
int ClientReply(long long id, const char *reply, int length, long long now);
void ClientsCloseAll(void);
int ClientsPending(void); /* 1 while a final reply waits to be sent */
int ClientsAt(int *cursor, ClientView *view);
int ClientsConnected(void);

/* The handover to a newly installed program (fiscald_handover.h). */
size_t ClientsHandoverSize(void);
int ClientsHandOver(int fd);
void ClientsHandOverUndo(void);
int ClientsTakeOver(int fd);
int ClientsBoundPort(void); /* the listening socket's port, 0: none */

#ifdef __cplusplus
}
#endif

#endif
