// ruvado's TCP socket layer: what is the same on every platform. Start-up,
// close and the wait live in sockets_posix.cpp / sockets_win32.cpp.
#include "tcp.h"
#include "log.h"
#include "sockapi.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

int TcpOpen(unsigned short local_port)
{
    if (SocketsInit() < 0) {
        return TCP_ERR_INIT;
    }

    int sock = (int)socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        return -1;
    }

    // Option failures are ignored: the socket still works without them.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, (const char *)&one, sizeof one);
    // Linger on with 0 s: a close is abortive, the peer gets a reset.
    struct linger abortive;
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(sock, SOL_SOCKET, SO_LINGER, (const char *)&abortive, sizeof abortive);

    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(local_port);
    int bound = bind(sock, (struct sockaddr *)&local, sizeof local);
    if (bound < 0) {
        printf("bind error = %d, errno %d\n", bound, errno);
        return -1;
    }

    // On failure the address still holds the requested port.
    SockLength length = sizeof local;
    getsockname(sock, (struct sockaddr *)&local, &length);
    LogMessage(0, "Port local = %u\n", (unsigned)ntohs(local.sin_port));
    return sock;
}

int TcpConnect(int sock, unsigned long address, unsigned short port)
{
    struct sockaddr_in remote;
    memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl((unsigned int)address);
    remote.sin_port = htons(port);
    return connect(sock, (struct sockaddr *)&remote, sizeof remote) == 0 ? 0 : -1;
}

int TcpSend(int sock, const char *data, int length, int limit_ms)
{
    // One send: a partial count is the caller's to judge, nothing is re-sent.
    return SocketSendWhenWritable(sock, data, length, limit_ms);
}

int TcpReceive(int sock, char *buffer, int size, int limit_ms)
{
    if (TcpWait(sock, limit_ms, WAIT_READ) < 0) {
        return TCP_ERR_TIMEOUT;
    }
    int received = (int)recv(sock, buffer, size, 0);
    return received > 0 ? received : TCP_ERR_CLOSED;
}

int TcpListen(int sock)
{
    const int backlog = 5;
    return listen(sock, backlog);
}

int TcpAccept(int sock, unsigned long *out_address, unsigned short *out_port, int limit_ms)
{
    if (TcpWait(sock, limit_ms, WAIT_READ) < 0) {
        return TCP_ERR_TIMEOUT;
    }

    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    SockLength length = sizeof peer;
    int accepted = (int)accept(sock, (struct sockaddr *)&peer, &length);
    if (accepted < 0) {
        return -1;
    }

    int one = 1;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
    *out_address = ntohl(peer.sin_addr.s_addr);
    *out_port = ntohs(peer.sin_port);
    return accepted;
}

int TcpClose(int sock)
{
    return SocketClose(sock);
}

char *TcpAddrText(unsigned long address)
{
    struct in_addr network;
    network.s_addr = htonl((unsigned int)address);
    return inet_ntoa(network);
}
