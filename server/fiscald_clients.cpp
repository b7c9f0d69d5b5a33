// The TCP side of the server: every client up to the limit is taken at once,
// each receive of an idle client is one command, a client waiting for its
// turn or its answer gets interim replies when its wait nears the sender's
// 15 s limit, and its final reply never shares a receive with an interim.
#include "fiscald_clients.h"
#include "fiscald_access.h"
#include "fiscald_handover.h"
#include "fiscald_reply.h"
#include "fiscalframe.h"
#include "tracelet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

enum ClientState {
    CLIENT_FREE,
    CLIENT_IDLE,      // connected, no command of its own pending: its next receive is one
    CLIENT_WAITING,   // its command waits in the queue or runs on the line
    CLIENT_REPLYING   // its final reply waits for the gap after an interim reply
};

// Room for everyone who can wait at once; a burst past it is reset by the
// system, which the sender reports like a refused connection.
static const int LISTEN_BACKLOG = 1024;
// After an interim reply the final one waits for the interim to leave the
// send queue (the client's side has it), at most this long past the gap.
static const long long INTERIM_DRAIN_LIMIT_MS = 2000;
// Out of descriptors, accepting pauses until a client leaves, or this long.
static const long long ACCEPT_PAUSE_MS = 1000;

struct Client {
    int state;
    int fd;
    long long id;        // never reused: tells a new client in this slot
    unsigned int peer;   // host order
    unsigned short peer_port;
    long commands;   // commands received so far
    long long connected_ms;
    long long last_activity_ms;
    long long next_interim_ms;
    long long last_interim_ms;   // 0: none sent for this command
    int interim_kind;
    int reply_length;
    long long reply_due_ms;
    int polled_connected;   // this round's poll saw it connected
    char reply[CLIENT_REPLY_MAX + 1];
};

static struct Client Clients[FISCALD_MAX_CLIENTS];
// One past the highest slot in use: every scan of the table stops there, so
// a round costs what the clients connected cost, not the table's size.
static int SlotsTop;
static int PollSlots[FISCALD_MAX_CLIENTS];
static long long PollIds[FISCALD_MAX_CLIENTS];
static int ListenFd = -1;
static long long NextId = 1;
static int Connected;
static long MaxClients = FISCALD_DEFAULT_CLIENTS;
static long long InterimMs = FISCALD_DEFAULT_INTERIM_MS;
static long long IdleMs = (long long)FISCALD_DEFAULT_IDLE_S * 1000;
static const AccessList *Access;
static long long AcceptPausedUntil;   // 0: accepting

void ClientsConfigure(const ServerOptions *options)
{
    MaxClients = options->max_clients;
    InterimMs = options->interim_ms;
    IdleMs = (long long)options->idle_s * 1000;
    Access = &options->access;
}

int ClientsListen(const char *address, int port, int *bound_port, const char **reason)
{
    struct sockaddr_in local;
    socklen_t local_len = sizeof local;
    int yes = 1;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        *reason = "direccion IPv4 invalida";
        errno = EINVAL;
        return -1;
    }
    ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (ListenFd < 0) {
        *reason = "socket";
        return -1;
    }
    setsockopt(ListenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(ListenFd, (struct sockaddr *)&local, sizeof local) != 0) {
        *reason = "bind";
    } else if (listen(ListenFd, LISTEN_BACKLOG) != 0) {
        *reason = "listen";
    } else if (getsockname(ListenFd, (struct sockaddr *)&local, &local_len) != 0) {
        *reason = "getsockname";
    } else {
        *bound_port = ntohs(local.sin_port);
        return 0;
    }
    int error = errno;
    close(ListenFd);
    ListenFd = -1;
    errno = error;
    return -1;
}

// While accepting is paused the listening socket is not polled: a waiting
// connection would wake every poll and nothing could take it.
int ClientsListenSocket(long long now)
{
    return AcceptPausedUntil != 0 && now < AcceptPausedUntil ? -1 : ListenFd;
}

void ClientsStopListening(void)
{
    if (ListenFd >= 0) {
        close(ListenFd);
    }
    ListenFd = -1;
}

static void PeerText(unsigned int address, unsigned int port, char *text, size_t size)
{
    char dotted[INET_ADDRSTRLEN];
    AccessDotted(address, dotted, sizeof dotted);
    snprintf(text, size, "%s:%u", dotted, port);
}

static void CloseClient(int slot, const char *why)
{
    struct Client *client = &Clients[slot];
    char peer[32];
    if (client->state == CLIENT_FREE) {
        return;
    }
    PeerText(client->peer, client->peer_port, peer, sizeof peer);
    close(client->fd);
    client->state = CLIENT_FREE;
    client->fd = -1;
    Connected--;
    while (SlotsTop > 0 && Clients[SlotsTop - 1].state == CLIENT_FREE) {
        SlotsTop--;
    }
    Tracelet("fiscald: cliente %s desconectado%s", peer, why);
    if (AcceptPausedUntil != 0) {
        AcceptPausedUntil = 1;   // a descriptor is free: try again at once
    }
}

// Said once, at once, to a client that cannot be served; never blocks.
static void RefuseAtOnce(int fd, const char *reason)
{
    char reply[CLIENT_REPLY_MAX + 1];
    int length = ReplyError(reply, sizeof reply, reason, OUTCOME_NOT_SENT);
    // A client gone already has nothing to be told: the result is not needed.
    (void)send(fd, reply, (size_t)length, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
}

static int FreeSlot(void)
{
    for (int slot = 0; slot < FISCALD_MAX_CLIENTS; slot++) {
        if (Clients[slot].state == CLIENT_FREE) {
            return slot;
        }
    }
    return -1;
}

static void TakeClient(int fd, const struct sockaddr_in *peer, long long now)
{
    int yes = 1;
    char shown[32];
    unsigned int address = ntohl(peer->sin_addr.s_addr);
    unsigned short port = ntohs(peer->sin_port);
    PeerText(address, port, shown, sizeof shown);
    if (!AccessAllows(Access, address)) {
        Tracelet("fiscald: cliente %s fuera de las redes admitidas: cerrado", shown);
        RefuseAtOnce(fd, REPLY_NOT_ALLOWED);
        return;
    }
    int slot = Connected < MaxClients ? FreeSlot() : -1;
    if (slot < 0) {
        Tracelet("fiscald: cliente %s rechazado: ya hay %d clientes", shown, Connected);
        RefuseAtOnce(fd, REPLY_SERVER_FULL);
        return;
    }
    // Replies are small and each must leave at once, not wait to be merged
    // with the next one.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    struct Client *client = &Clients[slot];
    memset(client, 0, sizeof *client);
    client->state = CLIENT_IDLE;
    client->fd = fd;
    client->id = NextId++;
    client->peer = address;
    client->peer_port = port;
    client->last_activity_ms = now;
    client->connected_ms = now;
    Connected++;
    if (slot >= SlotsTop) {
        SlotsTop = slot + 1;
    }
    Tracelet("fiscald: cliente conectado desde %s", shown);
}

void ClientsAccept(long long now)
{
    for (;;) {
        struct sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        int fd = accept4(ListenFd, (struct sockaddr *)&peer, &peer_len,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            if (AcceptPausedUntil == 0) {
                Tracelet("fiscald: sin descriptores libres (errno %d): no se aceptan clientes "
                         "hasta que se libere uno",
                         errno);
            }
            AcceptPausedUntil = now + ACCEPT_PAUSE_MS;
            return;
        }
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                Tracelet("fiscald: accept fallo, errno %d", errno);
            }
            return;
        }
        if (AcceptPausedUntil != 0) {
            Tracelet("fiscald: se aceptan clientes otra vez");
            AcceptPausedUntil = 0;
        }
        TakeClient(fd, &peer, now);
    }
}

int ClientsPollSet(struct pollfd *fds, int room)
{
    int count = 0;
    for (int slot = 0; slot < SlotsTop && count < room; slot++) {
        struct Client *client = &Clients[slot];
        client->polled_connected = 0;
        if (client->state == CLIENT_FREE) {
            continue;
        }
        fds[count].fd = client->fd;
        // Only an idle client's bytes are read: one receive is one command,
        // and a client does not send its next before this one's reply.
        fds[count].events = (short)(POLLRDHUP | (client->state == CLIENT_IDLE ? POLLIN : 0));
        fds[count].revents = 0;
        PollSlots[count] = slot;
        PollIds[count] = client->id;
        count++;
    }
    return count;
}

// 1 with the command received into *command, 0 when there was none (the
// receive would block, or the client closed: then it is closed here too).
static int ReceiveCommand(int slot, ReceivedCommand *command, long long now)
{
    struct Client *client = &Clients[slot];
    ssize_t got = recv(client->fd, command->bytes, sizeof command->bytes, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    if (got <= 0) {
        CloseClient(slot, "");
        return 0;
    }
    client->commands++;
    client->last_activity_ms = now;
    client->state = CLIENT_WAITING;
    client->last_interim_ms = 0;
    client->next_interim_ms = now + InterimMs;
    client->interim_kind = FRAME_DC2;
    command->client_id = client->id;
    command->peer = client->peer;
    command->first = client->commands == 1;
    command->leaving = 0;
    command->length = (int)got;
    return 1;
}

int ClientsNextCommand(const struct pollfd *fds, int count, int *cursor, ReceivedCommand *command,
                       long long now)
{
    while (*cursor < count) {
        int i = (*cursor)++;
        int slot = PollSlots[i];
        struct Client *client = &Clients[slot];
        if (client->state == CLIENT_FREE || client->id != PollIds[i]) {
            continue;
        }
        int gone = (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        if (client->state == CLIENT_IDLE && (fds[i].revents & POLLIN)) {
            if (ReceiveCommand(slot, command, now)) {
                // It may have sent its command and left at once: the command
                // is answered if it can be at once, and never runs.
                command->leaving = gone;
                client->polled_connected = !gone;
                return 1;
            }
        } else if (gone) {
            CloseClient(slot, client->state == CLIENT_IDLE ? "" : " antes de su respuesta");
        }
        client->polled_connected = client->state != CLIENT_FREE && !gone;
    }
    return 0;
}

static int SlotOf(long long id)
{
    for (int slot = 0; slot < SlotsTop; slot++) {
        if (Clients[slot].state != CLIENT_FREE && Clients[slot].id == id) {
            return slot;
        }
    }
    return -1;
}

void ClientsDrop(long long id, const char *why)
{
    int slot = SlotOf(id);
    if (slot >= 0 && Clients[slot].state == CLIENT_WAITING) {
        CloseClient(slot, why);
    }
}

static void SendInterim(int slot, long long now)
{
    struct Client *client = &Clients[slot];
    const char *interim = ReplyInterim(client->interim_kind);
    size_t length = strlen(interim);
    // Never blocks: a client that reads nothing must not stall the others.
    // A full queue just skips this interim.
    ssize_t sent = send(client->fd, interim, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        CloseClient(slot, " antes de su respuesta");
        return;
    }
    client->next_interim_ms = now + InterimMs;
    if (sent > 0) {
        client->last_interim_ms = now;
        Tracelet("fiscald: respuesta intermedia %s", interim);
    }
}

static int InterimStillQueued(const struct Client *client)
{
    int pending = 0;
    return ioctl(client->fd, SIOCOUTQ, &pending) == 0 && pending > 0;
}

// 1 sent; 0 not, and the client is closed.
static int SendReply(int slot, long long now)
{
    struct Client *client = &Clients[slot];
    ssize_t sent = send(client->fd, client->reply, (size_t)client->reply_length,
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != client->reply_length) {
        CloseClient(slot, ": no se pudo enviar la respuesta");
        return 0;
    }
    client->state = CLIENT_IDLE;
    client->last_activity_ms = now;
    return 1;
}

int ClientsTick(long long now, long long *delivered, int room)
{
    int delivered_count = 0;
    for (int slot = 0; slot < SlotsTop; slot++) {
        struct Client *client = &Clients[slot];
        if (client->state == CLIENT_WAITING && now >= client->next_interim_ms) {
            SendInterim(slot, now);
        } else if (client->state == CLIENT_REPLYING && now >= client->reply_due_ms &&
                   (!InterimStillQueued(client) ||
                    now >= client->reply_due_ms + INTERIM_DRAIN_LIMIT_MS)) {
            long long id = client->id;
            if (SendReply(slot, now) && delivered_count < room) {
                delivered[delivered_count++] = id;
            }
        } else if (client->state == CLIENT_IDLE && IdleMs > 0 &&
                   now - client->last_activity_ms > IdleMs) {
            CloseClient(slot, " por inactividad");
        }
    }
    return delivered_count;
}

long long ClientsNextWakeMs(long long now)
{
    long long next = now + FISCALD_LONGEST_WAIT_MS;
    if (AcceptPausedUntil != 0 && AcceptPausedUntil < next) {
        next = AcceptPausedUntil;
    }
    for (int slot = 0; slot < SlotsTop; slot++) {
        const struct Client *client = &Clients[slot];
        long long at = next;
        if (client->state == CLIENT_WAITING) {
            at = client->next_interim_ms;
        } else if (client->state == CLIENT_REPLYING) {
            // While the interim drains, look again every few milliseconds.
            at = client->reply_due_ms > now ? client->reply_due_ms : now + 5;
        } else if (client->state == CLIENT_IDLE && IdleMs > 0) {
            at = client->last_activity_ms + IdleMs + 1;
        }
        if (at < next) {
            next = at;
        }
    }
    return next;
}

int ClientConnected(long long id)
{
    return SlotOf(id) >= 0;
}

// This round's poll asked every client for a hang-up a moment ago; a client
// it found connected is taken as such without another system call.
int ClientStillConnected(long long id)
{
    int slot = SlotOf(id);
    if (slot < 0) {
        return 0;
    }
    if (Clients[slot].polled_connected) {
        return 1;
    }
    struct pollfd watched;
    watched.fd = Clients[slot].fd;
    watched.events = POLLRDHUP;
    watched.revents = 0;
    if (poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        CloseClient(slot, " antes de su turno");
        return 0;
    }
    return 1;
}

void ClientSetWorking(long long id, int keepalive_kind)
{
    int slot = SlotOf(id);
    if (slot >= 0) {
        Clients[slot].interim_kind = keepalive_kind;
    }
}

int ClientReply(long long id, const char *reply, int length, long long now)
{
    int slot = SlotOf(id);
    if (slot < 0 || Clients[slot].state != CLIENT_WAITING) {
        return -1;
    }
    struct Client *client = &Clients[slot];
    memcpy(client->reply, reply, (size_t)length);
    client->reply[length] = '\0';
    client->reply_length = length;
    if (client->last_interim_ms == 0) {
        return SendReply(slot, now) ? 1 : -1;
    }
    client->state = CLIENT_REPLYING;
    client->reply_due_ms = client->last_interim_ms + FISCALD_INTERIM_GAP_MS;
    return 0;
}

int ClientsAt(int *cursor, ClientView *view)
{
    while (*cursor < SlotsTop) {
        const struct Client *client = &Clients[(*cursor)++];
        if (client->state != CLIENT_FREE) {
            view->id = client->id;
            view->peer = client->peer;
            view->peer_port = client->peer_port;
            view->connected_ms = client->connected_ms;
            view->commands = client->commands;
            view->waiting = client->state != CLIENT_IDLE;
            return 1;
        }
    }
    return 0;
}

int ClientsConnected(void)
{
    return Connected;
}

int ClientsPending(void)
{
    for (int slot = 0; slot < SlotsTop; slot++) {
        if (Clients[slot].state == CLIENT_REPLYING) {
            return 1;
        }
    }
    return 0;
}

void ClientsCloseAll(void)
{
    for (int slot = 0; slot < SlotsTop; slot++) {
        if (Clients[slot].state != CLIENT_FREE) {
            close(Clients[slot].fd);
            Clients[slot].state = CLIENT_FREE;
        }
    }
    Connected = 0;
    SlotsTop = 0;
    ClientsStopListening();
}

// --- the handover to a newly installed program (fiscald_handover.cpp) ---

struct ClientsScalars {
    int listen_fd;
    long long next_id;
    int connected;
    int slots_top;
};

size_t ClientsHandoverSize(void)
{
    return sizeof(struct ClientsScalars) + sizeof Clients;
}

static void KeepDescriptors(int keep)
{
    HandoverKeepOpen(ListenFd, keep);
    for (int slot = 0; slot < SlotsTop; slot++) {
        if (Clients[slot].state != CLIENT_FREE) {
            HandoverKeepOpen(Clients[slot].fd, keep);
        }
    }
}

int ClientsHandOver(int fd)
{
    struct ClientsScalars scalars = {ListenFd, NextId, Connected, SlotsTop};
    KeepDescriptors(1);
    return HandoverPut(fd, HANDOVER_CLIENTS, &scalars, sizeof scalars) == 0 &&
                   HandoverPut(fd, HANDOVER_CLIENTS, Clients, sizeof Clients) == 0
               ? 0
               : -1;
}

void ClientsHandOverUndo(void)
{
    KeepDescriptors(0);
}

int ClientsTakeOver(int fd)
{
    struct ClientsScalars scalars;
    if (HandoverGet(fd, HANDOVER_CLIENTS, &scalars, sizeof scalars) != 0 ||
        HandoverGet(fd, HANDOVER_CLIENTS, Clients, sizeof Clients) != 0 || scalars.slots_top < 0 ||
        scalars.slots_top > FISCALD_MAX_CLIENTS) {
        return -1;
    }
    ListenFd = scalars.listen_fd;
    NextId = scalars.next_id;
    Connected = scalars.connected;
    SlotsTop = scalars.slots_top;
    KeepDescriptors(0);
    return 0;
}

int ClientsBoundPort(void)
{
    struct sockaddr_in local;
    socklen_t local_len = sizeof local;
    memset(&local, 0, sizeof local);
    if (ListenFd < 0 || getsockname(ListenFd, (struct sockaddr *)&local, &local_len) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}
