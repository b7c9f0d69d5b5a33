// Socket layer pieces that differ on Windows: Winsock 1.1 must be started
// once per process, sockets close with closesocket(), and the wait uses
// select(), whose fd_set here is a count and an array of handles, so any
// handle value fits.
#include "sockapi.h"
#include "tcp.h"

static int SocketsStarted = 0;

int SocketsInit(void)
{
    if (SocketsStarted) {
        return 0;
    }
    // Set before the attempt, so that every later call returns 0 at once
    // whatever this one gives.
    SocketsStarted = 1;

    WSADATA granted;
    if (WSAStartup(0x0101, &granted) != 0) {
        return -1;
    }
    if (LOBYTE(granted.wVersion) == 1 && HIBYTE(granted.wVersion) == 1) {
        return 0;
    }
    WSACleanup();
    return -1;
}

int SocketClose(int sock)
{
    return closesocket((SOCKET)sock);
}

int TcpWait(int sock, int limit_ms, int mode)
{
    if (limit_ms == -1) {
        return 1;
    }
    if (limit_ms < -1 || mode < WAIT_WRITE || mode > WAIT_EXCEPT) {
        return TCP_ERR_SELECT;
    }

    struct timeval limit;
    limit.tv_sec = limit_ms / 1000;
    limit.tv_usec = (limit_ms % 1000) * 1000;

    fd_set writable, readable, exceptional;
    FD_ZERO(&writable);
    FD_ZERO(&readable);
    FD_ZERO(&exceptional);
    fd_set *chosen = mode == WAIT_WRITE ? &writable : mode == WAIT_READ ? &readable : &exceptional;
    FD_SET((SOCKET)sock, chosen);

    // A limit of 0 passes no time limit: wait until the socket is ready.
    int ready = select(sock + 1, &readable, &writable, &exceptional,
                       limit_ms == 0 ? nullptr : &limit);
    if (ready == 0) {
        return TCP_ERR_TIMEOUT;
    }
    if (ready == 1) {
        return 0;
    }
    return TCP_ERR_SELECT;
}

int SocketSendWhenWritable(int sock, const char *data, int length, int limit_ms)
{
    if (TcpWait(sock, limit_ms, WAIT_WRITE) < 0) {
        return TCP_ERR_TIMEOUT;
    }
    return send((SOCKET)sock, data, length, 0);
}
