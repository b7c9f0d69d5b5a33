// The simulator's loop: one thread polls the line, the control FIFO and a
// wake-up pipe, and hands what comes to the responder. The other threads of
// a host process reach it through the public calls: settings and faults go
// to the controls, and vanishing or coming back, which change the
// descriptors the loop polls, are done by the loop itself between two polls.
#include "fiscalsim.h"
#include "monoclock.h"
#include "simcommands.h"
#include "simcontrols.h"
#include "simline.h"
#include "simresponder.h"
#include "simwire.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { REQUEST_NONE, REQUEST_VANISH, REQUEST_COME_BACK };

static const long long IDLE_POLL_US = 100000;
// Up to a pipe's worth of control lines a turn: all a script wrote before
// its next frame, yet a writer that never stops cannot keep the loop from
// the line.
static const int CONTROL_CHUNKS_PER_TURN = 256;

static int WakePipe[2] = {-1, -1};
static volatile sig_atomic_t StopRequested;
// Between the loop and the threads that ask it to vanish or come back.
static pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t RequestDone = PTHREAD_COND_INITIALIZER;
static int Running;
static int Request;
static int RequestResult;

static void Wake(void)
{
    char byte = 1;
    if (WakePipe[1] >= 0) {
        // A full pipe already holds a wake-up: nothing is lost.
        ssize_t written = write(WakePipe[1], &byte, 1);
        (void)written;
    }
}

static void CloseWakePipe(void)
{
    for (int &end : WakePipe) {
        if (end >= 0) {
            close(end);
        }
        end = -1;
    }
}

int fiscalsim_open(long baud, int busy_ms, const char *link)
{
    if (fiscalsim_speed_code(baud) == 0 || busy_ms < 0 ||
        (link != nullptr && strlen(link) >= FISCALSIM_PATH_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (pipe(WakePipe) != 0) {
        return -1;
    }
    fcntl(WakePipe[0], F_SETFL, O_NONBLOCK);
    fcntl(WakePipe[1], F_SETFL, O_NONBLOCK);
    ControlsReset(baud, busy_ms);
    SimCommandsReset();
    ResponderReset();
    StopRequested = 0;
    int result = SimLineOpen(link);
    if (result != 0) {
        int saved = errno;
        CloseWakePipe();
        errno = saved;
    }
    return result;
}

const char *fiscalsim_port_name(void)
{
    return SimLinePortName();
}

void fiscalsim_close(void)
{
    SimLineClose();
    ResponderLineLost();
    ControlFifoRemove();
    JournalClose();
    CloseWakePipe();
}

// With the lock held, on the loop's thread or while no loop runs.
static int PerformRequest(int request)
{
    SimLineUnplug();
    ResponderLineLost();
    return request == REQUEST_COME_BACK ? SimLinePlugIn() : 0;
}

static int RequestAndWait(int request)
{
    int served = 0;
    int result;
    pthread_mutex_lock(&Lock);
    if (Running) {
        Request = request;
        Wake();
        while (Request != REQUEST_NONE && Running) {
            pthread_cond_wait(&RequestDone, &Lock);
        }
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
// very loop.
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
                fprintf(stderr, "fiscalsim: cannot open a pseudo-terminal: %s\n", strerror(errno));
            }
        }
    }
}

static long long Earlier(long long next, long long candidate)
{
    return candidate >= 0 && candidate < next ? candidate : next;
}

// In microseconds: a byte time at 38400 baud is 260 us, and a wait rounded
// to whole milliseconds would hold every byte up to a millisecond.
static struct timespec PollTimeout(long long now_us)
{
    long long next = now_us + IDLE_POLL_US;
    next = Earlier(next, ResponderNextUs());
    next = Earlier(next, SimLineNextUs());
    long long wait = next <= now_us ? 0 : next - now_us;
    struct timespec timeout;
    timeout.tv_sec = (time_t)(wait / 1000000);
    timeout.tv_nsec = (long)(wait % 1000000) * 1000;
    return timeout;
}

// What has crossed the wire goes to the responder, whose answers go back out.
static void ServeLine(const SimSettings *settings, long long now_us)
{
    unsigned char arrived[WIRE_QUEUE_SIZE];
    int count = SimLineTakeArrived(arrived, (int)sizeof arrived, settings->wire, now_us);
    ResponderTake(arrived, count, settings, now_us);
    ResponderRunTimers(settings, now_us);
    SimLineFlush(settings->wire, now_us);
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
        watched[2].fd = SimLineFd();       // negative while vanished or full
        for (struct pollfd &entry : watched) {
            entry.events = POLLIN;
            entry.revents = 0;
        }
        struct timespec timeout = PollTimeout(MonotonicUs());
        int ready = ppoll(watched, 3, &timeout, nullptr);
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            char drained[64];
            while (read(WakePipe[0], drained, sizeof drained) > 0) {
                // Emptied: one wake-up stands for any number of them.
            }
        }
        // Control lines first: a script that writes one and then a frame
        // expects the line to apply to that frame.
        if (ready > 0 && (watched[1].revents & POLLIN)) {
            ServeControlLines();
        }
        SimSettings settings;
        ControlsSettings(&settings);
        long long now = MonotonicUs();
        if (ready > 0 && (watched[2].revents & POLLIN)) {
            SimLineReadIn(settings.baud, now);
        }
        ServeLine(&settings, now);
    }
    pthread_mutex_lock(&Lock);
    Running = 0;
    pthread_cond_broadcast(&RequestDone);
    pthread_mutex_unlock(&Lock);
    return 0;
}
