// The controller's line as the server keeps it: the device locked for this
// server, a worker process that has it open, and the line brought back after
// the device vanished or the worker ended. Everything here runs in the
// server's own loop and never waits on the device.
#include "fiscald_line.h"
#include "fiscald_device.h"
#include "fiscald_handover.h"
#include "fiscald_worker.h"
#include "fiscalframe.h"
#include "monoclock.h"
#include "tracelet.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Reopen attempts while the line is down, growing to the longest while the
// device keeps failing, so that a broken device is not opened in a storm.
static const long long REOPEN_FIRST_MS = 250;
static const long long REOPEN_LONGEST_MS = 5000;

static const ServerOptions *Options;
static char PortName[FISCALD_MAX_NAME + 1];
static int LockedFd = -1;
static pid_t WorkerPid = -1;
static pid_t RetiringPid = -1;   // a worker that lost the line, not yet reaped
static int WorkerSock = -1;
static int State = LINE_DOWN;
static long Rate;
static long RememberedRate;
static int StartedOnce;
static long long ReopenAt;
static long long ReopenDelayMs = REOPEN_FIRST_MS;
static int LastSeq;
static int ContinuesSequence;   // the last server's sequence is known: no probe at start
static int KeepMemory;          // a kept command's resend needs the controller's memory
static int RateKnown;           // the worker's next command goes at a rate, no search first
static int CanResend = 1;       // the packet layer sends under the sequence byte given
static long long FramesSent;
static long long StateSinceMs;   // when the line was opened, last went down, or was last ready
static int NoController;         // the last search found the controller at no rate

void LineConfigure(const ServerOptions *options, long remembered_rate, int last_seq)
{
    Options = options;
    RememberedRate = remembered_rate;
    if (last_seq >= FRAME_SEQ_FIRST && last_seq <= FRAME_SEQ_LAST) {
        LastSeq = last_seq;
        ContinuesSequence = 1;
        return;
    }
    // A server that knows no earlier sequence draws its first number.
    unsigned long seed = (unsigned long)time(nullptr) ^ ((unsigned long)getpid() << 3);
    LastSeq = FrameSeqFirst(seed);
}

// Whether the next worker can take the line without any probe: at a fixed
// rate, or at a rate remembered from the last search.
static int CanSkipProbes(void)
{
    return !Options->search || Rate != 0 || RememberedRate != 0;
}

int LineKeepMemory(int on)
{
    KeepMemory = on && CanSkipProbes();
    return on ? KeepMemory : 1;
}

int LineCanResend(void)
{
    return CanResend;
}

int LineRateKnown(void)
{
    return State == LINE_READY && RateKnown;
}

long LineRate(void)
{
    return Rate != 0 ? Rate : RememberedRate;
}

int LineLastSeq(void)
{
    return LastSeq;
}

int LineState(void)
{
    return State;
}

int LineSocket(void)
{
    return WorkerSock;
}

long long LineFrames(void)
{
    return FramesSent;
}

int LineTakeSeq(void)
{
    LastSeq = FrameSeqAfter(LastSeq);
    return LastSeq;
}

static int StartWorker(void)
{
    WorkerSetup setup;
    memset(&setup, 0, sizeof setup);
    snprintf(setup.port_name, sizeof setup.port_name, "%s", PortName);
    setup.baud = Options->baud;
    setup.search = Options->search;
    setup.remembered_rate = Rate != 0 ? Rate : RememberedRate;
    setup.probe_first = !StartedOnce && !ContinuesSequence && !KeepMemory;
    setup.keep_memory = KeepMemory;
    setup.fresh_start = !StartedOnce;
    setup.try_limit_ms = (int)Options->try_limit_ms;
    setup.next_seq = FrameSeqAfter(LastSeq);
    DeviceExclusive(LockedFd, 0);   // the worker's own open must pass
    if (WorkerStart(&setup, &WorkerPid, &WorkerSock) != 0) {
        Tracelet("fiscald: no se pudo crear el proceso de la linea: %s", strerror(errno));
        return -1;
    }
    StartedOnce = 1;
    State = LINE_OPENING;
    RateKnown = 0;
    return 0;
}

static void ReleaseDevice(void)
{
    if (LockedFd >= 0) {
        close(LockedFd);
    }
    LockedFd = -1;
}

// Resolves and takes the device; start-up reports why not on standard error,
// later attempts only trace a reason that changed.
static int TakeDevice(char *reason, size_t size)
{
    char name[FISCALD_MAX_NAME + 1];
    if (DeviceName(Options->device, name, sizeof name) != 0) {
        const char *prefix = Options->device[0] == '/' ? "" : "/dev/";
        if (errno == ENAMETOOLONG) {
            snprintf(reason, size,
                     "%s%s: el nombre del dispositivo pasa de 44 caracteres bajo /dev/", prefix,
                     Options->device);
        } else {
            snprintf(reason, size, "no se puede abrir %s%s: %s", prefix, Options->device,
                     strerror(errno));
        }
        return -1;
    }
    int fd = DeviceTake(name, reason, size);
    if (fd < 0) {
        return -1;
    }
    LockedFd = fd;
    snprintf(PortName, sizeof PortName, "%s", name);
    return 0;
}

int LineStartUp(void)
{
    char reason[512];
    if (TakeDevice(reason, sizeof reason) != 0) {
        fprintf(stderr, "fiscald: %s\n", reason);
        return -1;
    }
    if (StartWorker() != 0) {
        fprintf(stderr, "fiscald: no se pudo crear el proceso de la linea\n");
        ReleaseDevice();
        return -1;
    }
    StateSinceMs = MonotonicMs();
    Tracelet("fiscald: linea abierta en /dev/%s", PortName);
    return 0;
}

void LineReopen(long long now, int forced)
{
    static char last_reason[512];
    char reason[512];
    if (State != LINE_DOWN || (!forced && now < ReopenAt)) {
        return;
    }
    ReopenAt = now + ReopenDelayMs;
    if (ReopenDelayMs < REOPEN_LONGEST_MS) {
        ReopenDelayMs *= 2;
    }
    if (LockedFd < 0 && TakeDevice(reason, sizeof reason) != 0) {
        if (strcmp(reason, last_reason) != 0) {
            Tracelet("fiscald: %s", reason);
            snprintf(last_reason, sizeof last_reason, "%s", reason);
        }
        return;
    }
    last_reason[0] = '\0';
    if (StartWorker() == 0) {
        Tracelet("fiscald: linea abierta otra vez en /dev/%s", PortName);
    }
}

long long LineNextWakeMs(long long now)
{
    if (State != LINE_DOWN) {
        return now + FISCALD_LONGEST_WAIT_MS;
    }
    return ReopenAt > now ? ReopenAt : now;
}

int LineSubmit(const char *body, int length, int seq)
{
    WorkerRequest request;
    if (State != LINE_READY || length < 0 || length > PACKET_MAX_COMMAND) {
        return -1;
    }
    memset(&request, 0, sizeof request);
    request.seq = seq;
    request.length = length;
    memcpy(request.body, body, (size_t)length);
    request.body[length] = '\0';
    if (send(WorkerSock, &request, sizeof request, MSG_NOSIGNAL) != (ssize_t)sizeof request) {
        return -1;   // the worker is ending; its exit takes the line down
    }
    LastSeq = seq;
    FramesSent++;
    State = LINE_BUSY;
    return 0;
}

int LineReceive(WorkerReport *report)
{
    if (WorkerSock < 0) {
        return 0;
    }
    ssize_t got = recv(WorkerSock, report, sizeof *report, MSG_DONTWAIT);
    if (got != (ssize_t)sizeof *report) {
        return 0;
    }
    report->answer[PACKET_ANSWER_SIZE - 1] = '\0';
    FramesSent += report->probes;
    if (report->kind == REPORT_READY || report->kind == REPORT_NO_RATE) {
        State = LINE_READY;
        StateSinceMs = MonotonicMs();
        NoController = report->kind == REPORT_NO_RATE;
        ReopenDelayMs = REOPEN_FIRST_MS;
        DeviceExclusive(LockedFd, 1);
        RateKnown = report->kind == REPORT_READY;
        CanResend = report->can_resend;
        if (report->kind == REPORT_READY) {
            Rate = report->rate;
        }
    } else if (report->kind == REPORT_RESULT) {
        RateKnown = report->rate != 0;
        NoController = NoController && !report->answered;
        if (State == LINE_BUSY) {
            State = LINE_READY;
        }
    }
    return 1;
}

// The line goes down: the worker's socket is closed and the device let go
// of if it hung up (when it comes back it may be another device node, to be
// resolved and locked anew). why: what the trace says.
static void LineDown(const char *why)
{
    if (WorkerSock >= 0) {
        close(WorkerSock);
    }
    WorkerSock = -1;
    State = LINE_DOWN;
    StateSinceMs = MonotonicMs();
    ReopenAt = StateSinceMs + ReopenDelayMs;
    DeviceExclusive(LockedFd, 0);
    Tracelet("fiscald: %s", why);
    if (!DeviceStillThere(LockedFd)) {
        ReleaseDevice();
    }
}

void LineWorkerLostLine(void)
{
    char why[FISCALD_MAX_NAME + 32];
    snprintf(why, sizeof why, "linea caida en /dev/%s", PortName);
    // Its end is only reaped later; a new worker need not wait for it.
    RetiringPid = WorkerPid;
    WorkerPid = -1;
    LineDown(why);
}

void LineDescribe(LineView *view)
{
    view->state = State;
    view->rate = LineRate();
    view->searching = State == LINE_OPENING && Options->search;
    view->no_controller = NoController;
    view->since_ms = StateSinceMs;
    view->port_name = PortName;
}

int LineWatchFd(void)
{
    return State == LINE_READY ? LockedFd : -1;
}

void LineDeviceLost(void)
{
    char why[FISCALD_MAX_NAME + 48];
    if (State != LINE_READY) {
        return;
    }
    snprintf(why, sizeof why, "linea caida en /dev/%s (sin comando en curso)", PortName);
    // The idle worker holds a device that is gone; it is let go of at once.
    RetiringPid = WorkerPid;
    WorkerPid = -1;
    if (RetiringPid > 0) {
        kill(RetiringPid, SIGKILL);
    }
    LineDown(why);
}

int LineReap(void)
{
    int status = 0;
    int lost = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == RetiringPid) {
            RetiringPid = -1;
        } else if (pid == WorkerPid) {
            char why[64];
            if (WIFSIGNALED(status)) {
                snprintf(why, sizeof why, "el proceso de la linea termino por la senal %d",
                         WTERMSIG(status));
            } else {
                snprintf(why, sizeof why, "el proceso de la linea termino (estado %d)",
                         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            }
            WorkerPid = -1;
            LineDown(why);
            lost = 1;
        }
    }
    return lost;
}

void LineClose(void)
{
    if (WorkerPid > 0) {
        int status = 0;
        close(WorkerSock);   // an idle worker ends on its own
        WorkerSock = -1;
        kill(WorkerPid, SIGKILL);
        waitpid(WorkerPid, &status, 0);
        WorkerPid = -1;
    }
    if (RetiringPid > 0) {
        waitpid(RetiringPid, nullptr, 0);   // it was ending by itself
        RetiringPid = -1;
    }
    DeviceExclusive(LockedFd, 0);
    ReleaseDevice();
    State = LINE_DOWN;
}

// --- the handover to a newly installed program (fiscald_handover.cpp) ---

struct LineScalars {
    int locked_fd;
    char port_name[FISCALD_MAX_NAME + 1];
    long rate;
    long remembered_rate;
    int last_seq;
    long long frames_sent;
};

size_t LineHandoverSize(void)
{
    return sizeof(struct LineScalars);
}

// The idle worker ends: it runs the old program, and the new one starts its
// own on the same locked device.
void LineHandOver(void)
{
    if (WorkerPid > 0) {
        close(WorkerSock);
        WorkerSock = -1;
        kill(WorkerPid, SIGKILL);
        waitpid(WorkerPid, nullptr, 0);
        WorkerPid = -1;
    }
    if (RetiringPid > 0) {
        waitpid(RetiringPid, nullptr, 0);
        RetiringPid = -1;
    }
    State = LINE_DOWN;
}

int LineHandOverState(int fd)
{
    struct LineScalars scalars;
    memset(&scalars, 0, sizeof scalars);
    scalars.locked_fd = LockedFd;
    snprintf(scalars.port_name, sizeof scalars.port_name, "%s", PortName);
    scalars.rate = Rate;
    scalars.remembered_rate = RememberedRate;
    scalars.last_seq = LastSeq;
    scalars.frames_sent = FramesSent;
    HandoverKeepOpen(LockedFd, 1);
    return HandoverPut(fd, HANDOVER_LINE, &scalars, sizeof scalars);
}

void LineHandOverUndo(void)
{
    HandoverKeepOpen(LockedFd, 0);
    if (LockedFd >= 0) {
        StartWorker();
    }
}

int LineTakeOver(int fd)
{
    struct LineScalars scalars;
    if (HandoverGet(fd, HANDOVER_LINE, &scalars, sizeof scalars) != 0) {
        return -1;
    }
    scalars.port_name[FISCALD_MAX_NAME] = '\0';
    LockedFd = scalars.locked_fd;
    HandoverKeepOpen(LockedFd, 0);
    snprintf(PortName, sizeof PortName, "%s", scalars.port_name);
    Rate = scalars.rate;
    RememberedRate = scalars.remembered_rate;
    LastSeq = scalars.last_seq;
    FramesSent = scalars.frames_sent;
    ContinuesSequence = 1;
    StartedOnce = 1;
    // The serving loop's first round starts the worker, once the dispatch has
    // said whether the controller's memory must be kept; a device gone
    // meanwhile is brought back as any vanished line is.
    State = LINE_DOWN;
    ReopenAt = 0;
    return 0;
}
