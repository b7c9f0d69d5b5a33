// The control socket: a person (or a script) asks how the server is, or
// tells it to let a command in doubt go. One asker is served at a time and
// every step is non-blocking, so that a stuck asker costs the tills nothing;
// an asker that has not taken its answer within the limit is let go.
#include "fiscald_control.h"
#include "controlprotocol.h"
#include "fiscald_dispatch.h"
#include "fiscald_options.h"
#include "fiscald_status.h"
#include "tracelet.h"
#include "wholenumber.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static int ListenFd = -1;
static int AskerFd = -1;
static long long AskerDeadline;
static char Request[CONTROL_REQUEST_MAX + 1];
static size_t RequestLength;
static char Reply[CONTROL_REPLY_MAX];
static size_t ReplyLength;
static size_t ReplySent;
static int Answering;                 // the reply is built and being sent
static long long ListenPausedUntil;   // out of descriptors: not polled until then
static long AskerUid = -1;
static struct sockaddr_un Address;

// 1 when a server listens at the address: its socket is not stale.
static int SomeoneListens(const struct sockaddr_un *address)
{
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int listening = probe >= 0 &&
                    connect(probe, (const struct sockaddr *)address, sizeof *address) == 0;
    if (probe >= 0) {
        close(probe);
    }
    return listening;
}

int ControlListen(const char *path, char *why, size_t size)
{
    struct stat seen;
    memset(&Address, 0, sizeof Address);
    Address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof Address.sun_path) {
        snprintf(why, size, "socket de control %s: la ruta pasa de %zu caracteres", path,
                 sizeof Address.sun_path - 1);
        return -1;
    }
    memcpy(Address.sun_path, path, strlen(path) + 1);
    if (lstat(path, &seen) == 0) {
        if (!S_ISSOCK(seen.st_mode)) {
            snprintf(why, size, "socket de control %s: ya existe y no es un socket", path);
            return -1;
        }
        if (SomeoneListens(&Address)) {
            snprintf(why, size, "socket de control %s: otro servidor lo usa", path);
            return -1;
        }
        unlink(path);   // left by a server that ended without removing it
    }
    ListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Whoever may open the directory may ask: the service's own group.
    if (ListenFd < 0 || bind(ListenFd, (struct sockaddr *)&Address, sizeof Address) != 0 ||
        chmod(path, 0660) != 0 || listen(ListenFd, 8) != 0) {
        snprintf(why, size, "socket de control %s: %s", path, strerror(errno));
        if (ListenFd >= 0) {
            close(ListenFd);
        }
        ListenFd = -1;
        return -1;
    }
    return 0;
}

void ControlPollSet(struct pollfd *fds)
{
    // While one asker is served the others wait in the backlog.
    fds[0].fd = AskerFd < 0 && ListenPausedUntil == 0 ? ListenFd : -1;
    fds[0].events = POLLIN;
    fds[1].fd = AskerFd;
    fds[1].events = (short)(Answering ? POLLOUT : POLLIN);
    fds[0].revents = fds[1].revents = 0;
}

static void LetAskerGo(void)
{
    close(AskerFd);
    AskerFd = -1;
    Answering = 0;
}

static void Answer(long long now)
{
    static const size_t FORGET_LENGTH = sizeof CONTROL_FORGET - 1;
    Request[RequestLength] = '\0';
    Request[strcspn(Request, "\r\n")] = '\0';
    if (strcmp(Request, CONTROL_STATUS) == 0) {
        ReplyLength = StatusReport(Reply, sizeof Reply, now);
    } else if (strncmp(Request, CONTROL_FORGET " ", FORGET_LENGTH + 1) == 0) {
        long id = ParseWholeNumber(Request + FORGET_LENGTH + 1, 1, LONG_MAX);
        Tracelet("fiscald: el usuario %ld pide olvidar el comando en duda %s", AskerUid,
                 Request + FORGET_LENGTH + 1);
        int forgotten = id > 0 && DispatchForget(id, now) == 0;
        ReplyLength = (size_t)snprintf(Reply, sizeof Reply,
                                       forgotten ? CONTROL_FORGOTTEN " %s\n"
                                                 : CONTROL_ERROR
                                           " no hay ningun comando en duda %s\n",
                                       Request + FORGET_LENGTH + 1);
    } else {
        ReplyLength = (size_t)snprintf(Reply, sizeof Reply, CONTROL_ERROR " pedido desconocido\n");
    }
    ReplySent = 0;
    Answering = 1;
}

static void Read(long long now)
{
    ssize_t got = recv(AskerFd, Request + RequestLength, CONTROL_REQUEST_MAX - RequestLength, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        LetAskerGo();
        return;
    }
    RequestLength += (size_t)got;
    if (memchr(Request, '\n', RequestLength) != nullptr || RequestLength == CONTROL_REQUEST_MAX) {
        Answer(now);
    }
}

static void Write(void)
{
    ssize_t sent = send(AskerFd, Reply + ReplySent, ReplyLength - ReplySent,
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (sent <= 0 || (ReplySent += (size_t)sent) == ReplyLength) {
        LetAskerGo();
    }
}

void ControlServe(const struct pollfd *fds, long long now)
{
    if (ListenPausedUntil != 0 && now >= ListenPausedUntil) {
        ListenPausedUntil = 0;
    }
    if (fds[0].fd >= 0 && (fds[0].revents & POLLIN)) {
        struct ucred asker;
        socklen_t asker_size = sizeof asker;
        AskerFd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (AskerFd < 0) {
            // Out of descriptors, the waiting asker would wake every poll.
            ListenPausedUntil = errno == EAGAIN || errno == EINTR ? 0 : now + 1000;
            return;
        }
        AskerUid = getsockopt(AskerFd, SOL_SOCKET, SO_PEERCRED, &asker, &asker_size) == 0
                       ? (long)asker.uid
                       : -1;
        RequestLength = 0;
        Answering = 0;
        AskerDeadline = now + CONTROL_ANSWER_LIMIT_MS;
        return;   // its request is read when it comes
    }
    if (AskerFd < 0) {
        return;
    }
    if (fds[1].fd == AskerFd && (fds[1].revents & (POLLHUP | POLLERR)) && !Answering) {
        LetAskerGo();
    } else if (fds[1].fd == AskerFd && (fds[1].revents & POLLIN) && !Answering) {
        Read(now);
    } else if (fds[1].fd == AskerFd && (fds[1].revents & (POLLOUT | POLLHUP | POLLERR))) {
        Write();
    }
    if (AskerFd >= 0 && now >= AskerDeadline) {
        Tracelet("fiscald: pedido de control sin terminar a tiempo; se cierra");
        LetAskerGo();
    }
}

long long ControlNextWakeMs(long long now)
{
    if (AskerFd >= 0) {
        return AskerDeadline;
    }
    return ListenPausedUntil != 0 ? ListenPausedUntil : now + FISCALD_LONGEST_WAIT_MS;
}

void ControlClose(int remove_path)
{
    if (AskerFd >= 0) {
        LetAskerGo();
    }
    if (ListenFd >= 0) {
        close(ListenFd);
        ListenFd = -1;
        if (remove_path) {
            unlink(Address.sun_path);
        }
    }
}
