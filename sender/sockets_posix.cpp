// Socket layer pieces that differ on POSIX: there is no socket library to
// start, sockets close with close(), and the wait uses poll() because a
// select() set is a bitmap that a descriptor at or past FD_SETSIZE would
// overrun.
#include "tcp.h"

#include "monoclock.h"
#include "sockapi.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

static int SocketsStarted = 0;

// How long a wait for urgent data sleeps between looks at a hung-up socket.
static const int URGENT_PAUSE_MS = 50;

int SocketsInit(void)
{
    if (SocketsStarted) {
        return 0;
    }
    // Set before the attempt, as on Windows: later calls return 0 at once.
    SocketsStarted = 1;
    // A send on a connection the peer has reset must come back as a failed
    // send, as it does on Windows, instead of killing the process by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

int SocketClose(int sock)
{
    return close(sock);
}

// poll reports hang-up and error whatever events are asked for, so on a
// socket that is not connected (or no longer is) it returns at once. Mode 3
// means select's exception set, as on Windows: ready on urgent data only. On
// hang-up or error without it, the wait goes on in slices until the limit.
static int WaitForUrgentData(int sock, int limit_ms)
{
    const long long deadline = MonotonicMs() + limit_ms;
    for (;;) {
        int wait_ms = -1;   // a limit of 0 waits without limit
        if (limit_ms != 0) {
            long long left = deadline - MonotonicMs();
            if (left <= 0) {
                return TCP_ERR_TIMEOUT;
            }
            wait_ms = (int)left;
        }
        struct pollfd watched;
        watched.fd = sock;
        watched.events = POLLPRI;
        watched.revents = 0;
        int ready = poll(&watched, 1, wait_ms);
        if (ready == 0) {
            return TCP_ERR_TIMEOUT;
        }
        if (ready != 1 || (watched.revents & POLLNVAL) != 0) {
            return TCP_ERR_SELECT;
        }
        if ((watched.revents & POLLPRI) != 0) {
            return 0;
        }
        int pause_ms = wait_ms < 0 || wait_ms > URGENT_PAUSE_MS ? URGENT_PAUSE_MS : wait_ms;
        poll(nullptr, 0, pause_ms);
    }
}

int TcpWait(int sock, int limit_ms, int mode)
{
    if (limit_ms == -1) {
        return 1;
    }
    if (limit_ms < -1) {
        return TCP_ERR_SELECT;
    }

    struct pollfd watched;
    watched.fd = sock;
    watched.revents = 0;
    switch (mode) {
    case WAIT_WRITE:
        watched.events = POLLOUT;
        break;
    case WAIT_READ:
        watched.events = POLLIN;
        break;
    case WAIT_EXCEPT:
        return WaitForUrgentData(sock, limit_ms);
    default:
        return TCP_ERR_SELECT;
    }

    // A limit of 0 waits without limit.
    int ready = poll(&watched, 1, limit_ms == 0 ? -1 : limit_ms);
    if (ready == 0) {
        return TCP_ERR_TIMEOUT;
    }
    if (ready == 1 && (watched.revents & POLLNVAL) == 0) {
        return 0;
    }
    return TCP_ERR_SELECT;
}

int SocketSendWhenWritable(int sock, const char *data, int length, int limit_ms)
{
    // A socket with room in its buffer takes the bytes at once, so the send
    // is tried first without blocking: the wait (and its system call) is
    // only made when that send did not go. Any failure takes the full path,
    // wait then send, so results and errno are the ones it always gave.
    if (limit_ms >= 0) {
        ssize_t sent = send(sock, data, (size_t)length, MSG_DONTWAIT);
        if (sent >= 0) {
            return (int)sent;
        }
    }
    if (TcpWait(sock, limit_ms, WAIT_WRITE) < 0) {
        return TCP_ERR_TIMEOUT;
    }
    return (int)send(sock, data, (size_t)length, 0);
}
