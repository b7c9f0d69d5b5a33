// The TCP side of the server: one listening socket, one client at a time,
// one receive per command, interim replies while the controller works, and
// the final reply in a send of its own.
#include "fiscald.h"
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
#include <time.h>
#include <unistd.h>

static const int LISTEN_BACKLOG = 5;
// A client that reads no replies must not hold the server in a send.
static const int SEND_LIMIT_S = 15;
// The final reply must not reach the client in the same receive as an
// interim one. The interim is first seen acknowledged by the client's side
// (nothing left in our send queue), then this long is left for the client
// to read it before the final reply goes.
static const long long INTERIM_GAP_MS = 100;
static const long long INTERIM_DRAIN_LIMIT_MS = 2000;

static int ListenFd = -1;
static int ClientFd = -1;
static int InterimMs = FISCALD_DEFAULT_INTERIM_MS;
static int InCommand;
static int InterimSent;
static long long LastInterimMs;

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void PauseMs(long long milliseconds)
{
    if (milliseconds > 0)
        poll(NULL, 0, (int)milliseconds);
}

int ServerListen(const char *address, int port, int *bound_port, const char **reason)
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
    ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

void ServerSetInterim(int milliseconds)
{
    InterimMs = milliseconds;
}

int ServerAccept(int wait_ms)
{
    struct pollfd wanted;
    struct sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    char peer_text[INET_ADDRSTRLEN] = "?";
    int yes = 1;
    struct timeval send_limit = {SEND_LIMIT_S, 0};
    wanted.fd = ListenFd;
    wanted.events = POLLIN;
    wanted.revents = 0;
    if (poll(&wanted, 1, wait_ms) <= 0)
        return 0;
    ClientFd = accept4(ListenFd, (struct sockaddr *)&peer, &peer_len, SOCK_CLOEXEC);
    if (ClientFd < 0)
        return errno == EINTR || errno == EAGAIN || errno == ECONNABORTED ? 0 : -1;
    // Replies are small and each must leave at once, not wait to be merged
    // with the next one.
    setsockopt(ClientFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    setsockopt(ClientFd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    inet_ntop(AF_INET, &peer.sin_addr, peer_text, sizeof peer_text);
    Tracelet("fiscald: cliente conectado desde %s:%u", peer_text, ntohs(peer.sin_port));
    return 1;
}

int ClientConnected(void)
{
    return ClientFd >= 0;
}

void ClientDrop(void)
{
    if (ClientFd < 0)
        return;
    close(ClientFd);
    ClientFd = -1;
    Tracelet("fiscald: cliente desconectado");
}

int ClientReceive(char *buffer, int wait_ms)
{
    struct pollfd wanted;
    if (ClientFd < 0)
        return -1;
    wanted.fd = ClientFd;
    wanted.events = POLLIN;
    wanted.revents = 0;
    if (poll(&wanted, 1, wait_ms) <= 0)
        return 0;
    ssize_t got = recv(ClientFd, buffer, FISCALD_RECEIVE_MAX, 0);
    if (got > 0)
        return (int)got;
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    ClientDrop();
    return -1;
}

void ClientCommandBegin(void)
{
    InCommand = 1;
    InterimSent = 0;
    LastInterimMs = NowMs();   // the first interim goes one interval in
}

void ClientWaitHook(int port, int kind)
{
    (void)port;
    if (!InCommand || ClientFd < 0 || NowMs() - LastInterimMs < InterimMs)
        return;
    const char *interim = ReplyInterim(kind);
    size_t length = strlen(interim);
    // Never blocks: a client that reads nothing must not stall the
    // controller's exchange. A full queue just skips this interim.
    ssize_t sent = send(ClientFd, interim, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        Tracelet("fiscald: el cliente se fue durante el comando");
        ClientDrop();   // the command itself goes on to its end
        return;
    }
    LastInterimMs = NowMs();
    if (sent > 0) {
        InterimSent = 1;
        Tracelet("fiscald: respuesta intermedia %s", interim);
    }
}

static void WaitInterimGone(void)
{
    long long started = NowMs();
    int pending = 0;
    while (ioctl(ClientFd, SIOCOUTQ, &pending) == 0 && pending > 0 &&
           NowMs() - started < INTERIM_DRAIN_LIMIT_MS)
        PauseMs(5);
    PauseMs(LastInterimMs + INTERIM_GAP_MS - NowMs());
}

void ClientCommandEnd(const char *reply, int length)
{
    InCommand = 0;
    if (ClientFd < 0)
        return;
    if (InterimSent)
        WaitInterimGone();
    ssize_t sent = send(ClientFd, reply, (size_t)length, MSG_NOSIGNAL);
    if (sent != length) {
        Tracelet("fiscald: no se pudo enviar la respuesta al cliente");
        ClientDrop();
    }
}

void ServerClose(void)
{
    ClientDrop();
    if (ListenFd >= 0)
        close(ListenFd);
    ListenFd = -1;
}
