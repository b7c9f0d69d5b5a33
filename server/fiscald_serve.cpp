// The serving loop: one poll for the signals, the listening socket, the line
// worker, the control socket and every client; timers for interim replies, replies due, idle
// clients, reopening and the end. Nothing runs in a signal handler and there
// is one thread, so no state is shared between threads.
#include "fiscald_serve.h"
#include "fiscald_clients.h"
#include "fiscald_control.h"
#include "fiscald_dispatch.h"
#include "fiscald_line.h"
#include "fiscald_notify.h"
#include "monoclock.h"
#include "tracelet.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

// Fixed entries ahead of the clients in the poll set.
enum {
    POLL_SIGNALS,
    POLL_LISTEN,
    POLL_WORKER,
    POLL_DEVICE,
    POLL_CONTROL,
    POLL_FIXED = POLL_CONTROL + CONTROL_POLL_ENTRIES
};

static struct pollfd PollSet[POLL_FIXED + FISCALD_MAX_CLIENTS];
static long long StopDeadline;   // 0 until a signal asks the server to end
static int HandoverAsked;        // SIGUSR2: hand the service to the installed program

// Signals arrive as reads from a descriptor, between two polls: nothing runs
// in a handler, so nothing can be caught half done.
int ServeCatchSignals(void)
{
    sigset_t caught;
    sigemptyset(&caught);
    sigaddset(&caught, SIGINT);
    sigaddset(&caught, SIGTERM);
    sigaddset(&caught, SIGHUP);
    sigaddset(&caught, SIGCHLD);
    sigaddset(&caught, SIGUSR2);
    signal(SIGPIPE, SIG_IGN);
    if (sigprocmask(SIG_BLOCK, &caught, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &caught, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Every report waiting, or (all 0) the one that woke the poll: a second read
// would only find the socket empty, and anything left wakes the next poll.
static void TakeReports(long long now, int all)
{
    WorkerReport report;
    int taken = 0;
    while ((all || taken == 0) && LineReceive(&report) == 1) {
        taken++;
        DispatchReport(&report, now);
        if (report.kind == REPORT_RESULT && report.line_gone) {
            LineWorkerLostLine();
            DispatchLineDown(now);
        }
    }
}

// 1 when the server is asked to end.
static int TakeSignals(int signals, long long now)
{
    struct signalfd_siginfo info;
    int stop = 0;
    while (read(signals, &info, sizeof info) == (ssize_t)sizeof info) {
        if (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM) {
            stop = 1;
        } else if (info.ssi_signo == SIGUSR2 && !HandoverAsked) {
            Tracelet("fiscald: SIGUSR2: el servicio pasa al programa instalado en cuanto "
                     "termine el comando en curso");
            HandoverAsked = 1;
            DispatchPause(1);
        } else if (info.ssi_signo == SIGHUP) {
            // The log-rotation convention: the trace file is opened for every
            // line, so the next line already goes to the new file.
            Tracelet("fiscald: SIGHUP: el archivo de traza se abre de nuevo");
        } else if (info.ssi_signo == SIGCHLD) {
            // A worker's last words (a result sent just before it ended) first.
            TakeReports(now, 1);
            if (LineReap()) {
                DispatchLineDown(now);
            }
        }
    }
    return stop;
}

static int NextWaitMs(long long now, long long stop_deadline)
{
    long long next = ClientsNextWakeMs(now);
    const long long wakes[] = {LineNextWakeMs(now), DispatchNextWakeMs(now), ControlNextWakeMs(now),
                               NotifyNextWakeMs(now)};
    for (long long wake : wakes) {
        if (wake < next) {
            next = wake;
        }
    }
    if (stop_deadline != 0 && stop_deadline < next) {
        next = stop_deadline;
    }
    long long wait = next - now;
    return wait < 0 ? 0 : wait > FISCALD_LONGEST_WAIT_MS ? FISCALD_LONGEST_WAIT_MS : (int)wait;
}

// Each client's new command, then each hang-up, from this round's poll.
static void TakeCommands(int clients, long long now)
{
    ReceivedCommand command;
    int cursor = 0;
    while (ClientsNextCommand(PollSet + POLL_FIXED, clients, &cursor, &command, now)) {
        DispatchCommand(&command, now);
        if (command.leaving) {
            ClientsDrop(command.client_id, " antes de su turno");
        }
    }
}

void ServeHandoverFailed(void)
{
    HandoverAsked = 0;
    DispatchPause(0);
}

int ServeRound(int signals, int wait_limit_ms)
{
    long long now = MonotonicMs();
    PollSet[POLL_SIGNALS].fd = signals;
    PollSet[POLL_LISTEN].fd = ClientsListenSocket(now);
    PollSet[POLL_WORKER].fd = LineSocket();   // negative while there is none: skipped
    PollSet[POLL_DEVICE].fd = LineWatchFd();
    for (int i = 0; i < POLL_CONTROL; i++) {
        PollSet[i].events = POLLIN;
        PollSet[i].revents = 0;
    }
    ControlPollSet(PollSet + POLL_CONTROL);
    // The idle line's device: only a hang-up or an error is asked for, so
    // that a device that vanishes between commands is noticed at once.
    PollSet[POLL_DEVICE].events = 0;
    int clients = ClientsPollSet(PollSet + POLL_FIXED, FISCALD_MAX_CLIENTS);
    int wait = NextWaitMs(now, StopDeadline);
    int ready = poll(PollSet, (nfds_t)POLL_FIXED + (nfds_t)clients,
                     wait < wait_limit_ms ? wait : wait_limit_ms);
    if (ready < 0 && errno != EINTR) {
        Tracelet("fiscald: poll fallo, errno %d", errno);
    }
    now = MonotonicMs();
    // Reports first: a worker's last result is read before its end is.
    if (ready > 0 && (PollSet[POLL_WORKER].revents & POLLIN)) {
        TakeReports(now, 0);
    }
    if (ready > 0 && (PollSet[POLL_SIGNALS].revents & POLLIN) && TakeSignals(signals, now) &&
        StopDeadline == 0) {
        Tracelet("fiscald: fin pedido por senal");
        NotifyStopping();
        HandoverAsked = 0;
        DispatchPause(0);
        ClientsStopListening();
        DispatchStop(now);
        StopDeadline = now + FISCALD_STOP_LIMIT_MS;
    }
    if (ready > 0 && (PollSet[POLL_DEVICE].revents & (POLLHUP | POLLERR)) && LineWatchFd() >= 0) {
        LineDeviceLost();
        DispatchLineDown(now);
    }
    if (ready > 0 && (PollSet[POLL_LISTEN].revents & POLLIN)) {
        ClientsAccept(now);
    }
    if (ready > 0) {
        TakeCommands(clients, now);
    }
    ControlServe(PollSet + POLL_CONTROL, now);
    LineReopen(now, 0);
    DispatchRun(now);
    long long delivered[FISCALD_MAX_CLIENTS];
    int count = ClientsTick(now, delivered, FISCALD_MAX_CLIENTS);
    for (int i = 0; i < count; i++) {
        DispatchReplyDelivered(delivered[i], now);
    }
    NotifyTick(now);
    if (StopDeadline == 0) {
        // The handover waits for the line to be free and every reply sent.
        return HandoverAsked && !DispatchBusy() && !ClientsPending() ? 2 : 1;
    }
    if (DispatchBusy() && now >= StopDeadline) {
        Tracelet("fiscald: el comando en curso no termino a tiempo; se abandona");
        DispatchGiveUp(now);
    }
    // Replies given up at the deadline may still wait out an interim's gap.
    return DispatchBusy() ||
           (ClientsPending() && now < StopDeadline + FISCALD_INTERIM_GAP_MS + 1000);
}

// At start-up the line is opened (and its rate set or searched) before the
// server listens, so that "escuchando en" means ready.
int ServeWaitForLine(int signals)
{
    for (;;) {
        struct pollfd watched[2];
        watched[0].fd = signals;
        watched[1].fd = LineSocket();
        watched[0].events = watched[1].events = POLLIN;
        watched[0].revents = watched[1].revents = 0;
        if (watched[1].fd < 0) {
            return 1;
        }
        NotifyTick(MonotonicMs());   // the service's status says what the start waits for
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            return 1;
        }
        long long now = MonotonicMs();
        TakeReports(now, 1);
        if (LineState() == LINE_READY) {
            return 0;
        }
        if (TakeSignals(signals, now)) {
            return 2;
        }
    }
}
