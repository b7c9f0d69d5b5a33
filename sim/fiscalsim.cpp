// The simulated controller's line: a pty master read and written by one loop.
// The simulator also keeps the slave open itself, so that the master neither
// reports a hang-up while no host has the port open nor loses the line's
// settings between two hosts; it never reads that descriptor.
#include "fiscalsim.h"
#include "simcommands.h"
#include "simcontrols.h"
#include "simwire.h"
#include "fiscalframe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { REQUEST_NONE, REQUEST_VANISH, REQUEST_COME_BACK };

static const int IDLE_POLL_MS = 100;
static const int CONTROL_CHUNKS_PER_TURN = 256;

static int Master = -1;
static int OwnSlave = -1;
static int WakePipe[2] = {-1, -1};
static char PortName[64];
static char LinkPath[FISCALSIM_PATH_MAX];

static pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t RequestDone = PTHREAD_COND_INITIALIZER;
static volatile sig_atomic_t StopRequested;
static int Running;
static int Request;
static int RequestResult;
// Behaviour set from other threads, read by the loop: guarded by Lock.
static long RateBaud = FISCALSIM_DEFAULT_BAUD;
static int BusyMs = FISCALSIM_DEFAULT_BUSY_MS;
static int LateCount;
static int LateMs;
static int DropCount;
static int GarbleCount;
static long FramesReceived;
static long CommandsExecuted;
static int WireOn;

// Loop state.
static FrameReader Reader;
static int HaveLast;
static unsigned char LastSeq;
static char LastBody[FRAME_MAX_BODY + 1];
static int LastBodyLen;
static char LastAnswer[FRAME_MAX_WIRE];
static int Pending;
static long long SendAt;
static long long KeepAliveUntil;
static long long NextKeepAlive;
static int KeepAliveKind;
static SimReply Reply;
// Every byte passes through these, paced with the wire on, at once without.
static WireQueue Outgoing;
static WireQueue Incoming;

static const struct { long baud; unsigned int code; } Speeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

unsigned int fiscalsim_speed_code(long baud)
{
    for (const auto &row : Speeds)
        if (row.baud == baud)
            return row.code;
    return 0;
}

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void Wake(void)
{
    char byte = 1;
    if (WakePipe[1] >= 0 && write(WakePipe[1], &byte, 1) < 0) {
        // A full pipe already holds a wake-up: nothing is lost.
    }
}

static void UpdateLink(void)
{
    if (LinkPath[0] == '\0')
        return;
    char target[80];
    snprintf(target, sizeof target, "/dev/%s", PortName);
    unlink(LinkPath);
    if (symlink(target, LinkPath) != 0)
        fprintf(stderr, "fiscalsim: cannot link %s to %s: %s\n", LinkPath, target, strerror(errno));
}

// A line that goes away takes any half-received frame and the answer not yet
// sent with it; the last command and its answer stay, as in a controller's
// memory, so that a host retrying after the line comes back gets that answer
// instead of running the command twice.
static void ForgetExchange(void)
{
    FrameReaderReset(&Reader);
    Pending = 0;
    WireQueueInit(&Outgoing, 0);
    WireQueueInit(&Incoming, 1);
}

static int OpenPty(void)
{
    // Close-on-exec: a program started from a process that hosts the
    // simulator must not keep the pty alive after the simulator vanishes.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int slave = -1;
    const char *name = NULL;
    if (master < 0)
        goto fail;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == NULL)
        goto fail;
    if (strncmp(name, "/dev/", 5) != 0 || strlen(name + 5) >= sizeof PortName) {
        errno = ENAMETOOLONG;
        goto fail;
    }
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        goto fail;
    snprintf(PortName, sizeof PortName, "%s", name + 5);
    Master = master;
    OwnSlave = slave;
    ForgetExchange();
    UpdateLink();
    return 0;
fail:
    {
        int saved = errno;
        if (master >= 0)
            close(master);
        errno = saved;
    }
    return -1;
}

static void ClosePty(void)
{
    if (Master >= 0)
        close(Master);
    if (OwnSlave >= 0)
        close(OwnSlave);
    Master = -1;
    OwnSlave = -1;
    ForgetExchange();
}

int fiscalsim_open(long baud, int busy_ms, const char *link)
{
    if (fiscalsim_speed_code(baud) == 0 || busy_ms < 0 ||
        (link != NULL && strlen(link) >= sizeof LinkPath)) {
        errno = EINVAL;
        return -1;
    }
    if (pipe(WakePipe) != 0)
        return -1;
    fcntl(WakePipe[0], F_SETFL, O_NONBLOCK);
    fcntl(WakePipe[1], F_SETFL, O_NONBLOCK);
    snprintf(LinkPath, sizeof LinkPath, "%s", link != NULL ? link : "");
    pthread_mutex_lock(&Lock);
    RateBaud = baud;
    BusyMs = busy_ms;
    LateCount = LateMs = DropCount = GarbleCount = 0;
    FramesReceived = CommandsExecuted = 0;
    WireOn = 0;
    pthread_mutex_unlock(&Lock);
    StopRequested = 0;
    SimCommandsReset();
    HaveLast = 0;
    if (OpenPty() != 0) {
        int saved = errno;
        close(WakePipe[0]);
        close(WakePipe[1]);
        WakePipe[0] = WakePipe[1] = -1;
        errno = saved;
        return -1;
    }
    return 0;
}

const char *fiscalsim_port_name(void)
{
    return PortName;
}

void fiscalsim_close(void)
{
    ClosePty();
    ControlFifoRemove();
    JournalClose();
    if (LinkPath[0] != '\0')
        unlink(LinkPath);
    LinkPath[0] = '\0';
    for (int &end : WakePipe) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

int fiscalsim_control_fifo(const char *path)
{
    return ControlFifoCreate(path);
}

int fiscalsim_journal(const char *path)
{
    return JournalOpen(path);
}

int fiscalsim_set_rate(long baud)
{
    if (fiscalsim_speed_code(baud) == 0)
        return -1;
    pthread_mutex_lock(&Lock);
    RateBaud = baud;
    pthread_mutex_unlock(&Lock);
    return 0;
}

void fiscalsim_set_busy(int busy_ms)
{
    pthread_mutex_lock(&Lock);
    BusyMs = busy_ms < 0 ? 0 : busy_ms;
    pthread_mutex_unlock(&Lock);
}

void fiscalsim_set_wire(int on)
{
    pthread_mutex_lock(&Lock);
    WireOn = on != 0;
    pthread_mutex_unlock(&Lock);
    Wake();
}

void fiscalsim_answer_late(int count, int delay_ms)
{
    pthread_mutex_lock(&Lock);
    LateCount = count;
    LateMs = delay_ms;
    pthread_mutex_unlock(&Lock);
}

void fiscalsim_drop(int count)
{
    pthread_mutex_lock(&Lock);
    DropCount = count;
    pthread_mutex_unlock(&Lock);
}

void fiscalsim_garble(int count)
{
    pthread_mutex_lock(&Lock);
    GarbleCount = count;
    pthread_mutex_unlock(&Lock);
}

long fiscalsim_frames_received(void)
{
    pthread_mutex_lock(&Lock);
    long count = FramesReceived;
    pthread_mutex_unlock(&Lock);
    return count;
}

long fiscalsim_commands_executed(void)
{
    pthread_mutex_lock(&Lock);
    long count = CommandsExecuted;
    pthread_mutex_unlock(&Lock);
    return count;
}

static int PerformRequest(int request)
{
    if (request == REQUEST_VANISH) {
        ClosePty();
        return 0;
    }
    ClosePty();
    return OpenPty();
}

// Vanishing and coming back change the descriptors the loop polls, so while
// the loop runs it does them itself, between two polls.
static int RequestAndWait(int request)
{
    int served = 0;
    int result;
    pthread_mutex_lock(&Lock);
    if (Running) {
        Request = request;
        Wake();
        while (Request != REQUEST_NONE && Running)
            pthread_cond_wait(&RequestDone, &Lock);
        served = Request == REQUEST_NONE;
    }
    if (served) {
        result = RequestResult;
    } else {
        // No loop is serving (or it ended meanwhile): nobody else polls the pty.
        Request = REQUEST_NONE;
        result = PerformRequest(request);
    }
    pthread_mutex_unlock(&Lock);
    return result;
}

int fiscalsim_vanish(void)
{
    return RequestAndWait(REQUEST_VANISH);
}

int fiscalsim_come_back(void)
{
    return RequestAndWait(REQUEST_COME_BACK);
}

void fiscalsim_stop(void)
{
    StopRequested = 1;
    Wake();
}

// The line's speed as the host last set it, read through the slave the
// simulator holds. A pty carries bytes at any speed; this is where a wrong
// rate is made to matter.
static int LineAtRate(void)
{
    struct termios line;
    if (OwnSlave < 0 || tcgetattr(OwnSlave, &line) != 0)
        return 0;
    pthread_mutex_lock(&Lock);
    unsigned int wanted = fiscalsim_speed_code(RateBaud);
    pthread_mutex_unlock(&Lock);
    return cfgetospeed(&line) == wanted;
}

static void WireSettings(int *wire, long *baud)
{
    pthread_mutex_lock(&Lock);
    *wire = WireOn;
    *baud = RateBaud;
    pthread_mutex_unlock(&Lock);
}

// The master is non-blocking: what a full line cannot take is lost, as on a
// wire nobody reads.
static void FlushOutgoing(void)
{
    unsigned char batch[WIRE_QUEUE_SIZE];
    int wire;
    long baud;
    WireSettings(&wire, &baud);
    int count = wire ? WireQueueTake(&Outgoing, batch, (int)sizeof batch, NowMs())
                     : WireQueueTakeAll(&Outgoing, batch, (int)sizeof batch);
    if (count > 0 && Master >= 0 && write(Master, batch, (size_t)count) < 0) {
    }
}

static void SendBytes(const char *bytes, int len)
{
    int wire;
    long baud;
    WireSettings(&wire, &baud);
    WireQueueAdd(&Outgoing, (const unsigned char *)bytes, len, baud, NowMs());
    FlushOutgoing();
}

static void SendAnswer(void)
{
    char damaged[FRAME_MAX_WIRE];
    int len = (int)strlen(LastAnswer);
    pthread_mutex_lock(&Lock);
    int garble = GarbleCount > 0;
    if (garble)
        GarbleCount--;
    pthread_mutex_unlock(&Lock);
    if (!garble) {
        SendBytes(LastAnswer, len);
        return;
    }
    memcpy(damaged, LastAnswer, (size_t)len + 1);
    damaged[len - 1] = damaged[len - 1] == '0' ? '1' : '0';   // last checksum digit
    SendBytes(damaged, len);
}

static void OnFrame(void)
{
    pthread_mutex_lock(&Lock);
    FramesReceived++;
    pthread_mutex_unlock(&Lock);
    if (Pending || !LineAtRate())
        return;   // busy with the previous command, or deaf at this speed
    pthread_mutex_lock(&Lock);
    int dropped = DropCount > 0;
    if (dropped)
        DropCount--;
    int busy_default = BusyMs;
    int late = 0;
    if (!dropped && LateCount > 0) {
        LateCount--;
        late = LateMs;
    }
    pthread_mutex_unlock(&Lock);
    if (dropped)
        return;
    long long now = NowMs();
    int repeated = HaveLast && Reader.seq == LastSeq && Reader.body_len == LastBodyLen &&
                   memcmp(Reader.body, LastBody, (size_t)LastBodyLen) == 0;
    int busy = 0;
    if (!repeated) {
        // A new command: run it and keep its answer for a repeat of the frame.
        SimExecute(Reader.body, Reader.body_len, busy_default, &Reply);
        JournalRecord(Reader.body, Reader.body_len);
        pthread_mutex_lock(&Lock);
        CommandsExecuted++;
        pthread_mutex_unlock(&Lock);
        if (FrameEncodeAnswer(Reader.seq, Reply.status1, Reply.status2, Reply.fields, LastAnswer,
                              (int)sizeof LastAnswer) < 0)
            FrameEncodeAnswer(Reader.seq, Reply.status1, Reply.status2, "", LastAnswer,
                              (int)sizeof LastAnswer);
        HaveLast = 1;
        LastSeq = Reader.seq;
        LastBodyLen = Reader.body_len;
        memcpy(LastBody, Reader.body, (size_t)Reader.body_len + 1);
        busy = Reply.busy_ms;
        KeepAliveKind = Reply.busy_kind;
    }
    Pending = 1;
    KeepAliveUntil = now + busy;
    NextKeepAlive = now + FISCALSIM_KEEPALIVE_MS;
    SendAt = now + busy + late;
}

// Only as much as the incoming queue has room for: the rest waits in the
// pty until the wire has carried what came before.
static void ReadLine(void)
{
    unsigned char chunk[256];
    int wire;
    long baud;
    WireSettings(&wire, &baud);
    int room = WireQueueSpace(&Incoming);
    ssize_t got = read(Master, chunk, room < (int)sizeof chunk ? (size_t)room : sizeof chunk);
    if (got > 0) {
        WireQueueAdd(&Incoming, chunk, (int)got, baud, NowMs());
    }
}

// The bytes that have crossed the wire by now, into the frame reader.
static void TakeArrived(void)
{
    unsigned char arrived[WIRE_QUEUE_SIZE];
    int wire;
    long baud;
    WireSettings(&wire, &baud);
    int count = wire ? WireQueueTake(&Incoming, arrived, (int)sizeof arrived, NowMs())
                     : WireQueueTakeAll(&Incoming, arrived, (int)sizeof arrived);
    for (int i = 0; i < count; i++) {
        int pushed = FrameReaderPush(&Reader, arrived[i]);
        if (pushed == FRAME_DONE) {
            OnFrame();
        } else if (pushed == FRAME_BAD && !Pending && LineAtRate()) {
            char nak = (char)FRAME_NAK;
            SendBytes(&nak, 1);
        }
    }
}

static void RunTimers(void)
{
    if (!Pending)
        return;
    long long now = NowMs();
    while (NextKeepAlive <= KeepAliveUntil && NextKeepAlive <= now) {
        char kind = (char)KeepAliveKind;
        if (LineAtRate())
            SendBytes(&kind, 1);
        NextKeepAlive += FISCALSIM_KEEPALIVE_MS;
    }
    if (now >= SendAt) {
        Pending = 0;
        if (LineAtRate())
            SendAnswer();
    }
}

static long long Earlier(long long next, long long candidate)
{
    return candidate >= 0 && candidate < next ? candidate : next;
}

static int PollTimeout(void)
{
    long long now = NowMs();
    long long next = now + IDLE_POLL_MS;
    if (Pending) {
        next = Earlier(next, SendAt);
        if (NextKeepAlive <= KeepAliveUntil) {
            next = Earlier(next, NextKeepAlive);
        }
    }
    next = Earlier(next, WireQueueNextMs(&Outgoing));
    next = Earlier(next, WireQueueNextMs(&Incoming));
    return next <= now ? 0 : (int)(next - now);
}

static void ServeRequests(void)
{
    pthread_mutex_lock(&Lock);
    if (Request != REQUEST_NONE) {
        RequestResult = PerformRequest(Request);
        Request = REQUEST_NONE;
        pthread_cond_broadcast(&RequestDone);
    }
    pthread_mutex_unlock(&Lock);
}

// Control lines come in on the loop's own thread: vanishing and coming back
// are done here directly, not through RequestAndWait, which waits for this
// very loop. All a script wrote before its next frame is taken in before that
// frame is read, up to a pipe's worth, so a writer that never stops cannot
// keep the loop from the line.
static void ServeControlLines(void)
{
    for (int chunk = 0; chunk < CONTROL_CHUNKS_PER_TURN && ControlFifoRead() > 0; chunk++) {
        for (int request = ControlFifoNext(); request != CONTROL_IDLE;
             request = ControlFifoNext()) {
            if (request != CONTROL_VANISH && request != CONTROL_BACK) {
                continue;
            }
            pthread_mutex_lock(&Lock);
            int result = PerformRequest(request == CONTROL_VANISH ? REQUEST_VANISH
                                                                  : REQUEST_COME_BACK);
            pthread_mutex_unlock(&Lock);
            if (result != 0) {
                fprintf(stderr, "fiscalsim: cannot open a pseudo-terminal: %s\n",
                        strerror(errno));
            }
        }
    }
}

int fiscalsim_run(void)
{
    pthread_mutex_lock(&Lock);
    Running = 1;
    pthread_mutex_unlock(&Lock);
    while (!StopRequested) {
        ServeRequests();
        struct pollfd watched[3];
        watched[0].fd = WakePipe[0];
        watched[1].fd = ControlFifoFd();   // negative when there is none: poll skips it
        // Negative while vanished, or while the wire has not carried what came.
        watched[2].fd = WireQueueSpace(&Incoming) > 0 ? Master : -1;
        for (struct pollfd &entry : watched) {
            entry.events = POLLIN;
            entry.revents = 0;
        }
        int ready = poll(watched, 3, PollTimeout());
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            char drained[64];
            while (read(WakePipe[0], drained, sizeof drained) > 0) {
            }
        }
        // Control lines first: a script that writes one and then a frame
        // expects the line to apply to that frame.
        if (ready > 0 && (watched[1].revents & POLLIN)) {
            ServeControlLines();
        }
        if (ready > 0 && Master >= 0 && (watched[2].revents & POLLIN)) {
            ReadLine();
        }
        TakeArrived();
        RunTimers();
        FlushOutgoing();
    }
    pthread_mutex_lock(&Lock);
    Running = 0;
    pthread_cond_broadcast(&RequestDone);
    pthread_mutex_unlock(&Lock);
    return 0;
}
