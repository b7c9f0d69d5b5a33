// The other threads of a host process reach the loop through the public
// calls: settings and faults go to simsettings, and vanishing or coming
// back, which change the descriptors the loop polls, are done by the loop
// itself between two polls.
#include "simloop.h"
#include "monoclock.h"
#include "simfifo.h"
#include "simline.h"
#include "simresponder.h"
#include "simsettings.h"
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

int SimLoopOpen(void)
{
    if (pipe(WakePipe) != 0) {
        return -1;
    }
    fcntl(WakePipe[0], F_SETFL, O_NONBLOCK);
    fcntl(WakePipe[1], F_SETFL, O_NONBLOCK);
    StopRequested = 0;
    return 0;
}

void SimLoopClose(void)
{
    for (int &end : WakePipe) {
        if (end >= 0) {
            close(end);
        }
        end = -1;
    }
}

// With the lock held, on the loop's thread or while no loop runs.
static int PerformRequest(int request)
{
    SimLineUnplug();
    SimResponderLineLost();
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

int SimLoopVanish(void)
{
    return RequestAndWait(REQUEST_VANISH);
}

int SimLoopComeBack(void)
{
    return RequestAndWait(REQUEST_COME_BACK);
}

void SimLoopStop(void)
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
    for (int chunk = 0; chunk < CONTROL_CHUNKS_PER_TURN && SimFifoRead() > 0; chunk++) {
        for (int request = SimFifoNext(); request != SIM_FIFO_IDLE; request = SimFifoNext()) {
            if (request != SIM_FIFO_VANISH && request != SIM_FIFO_BACK) {
                continue;
            }
            pthread_mutex_lock(&Lock);
            int result = PerformRequest(request == SIM_FIFO_VANISH ? REQUEST_VANISH
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
    next = Earlier(next, SimResponderNextUs());
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
    unsigned char arrived[SIM_WIRE_QUEUE_SIZE];
    int count = SimLineTakeArrived(arrived, (int)sizeof arrived, settings->wire, now_us);
    SimResponderTake(arrived, count, settings, now_us);
    SimResponderRunTimers(settings, now_us);
    SimLineFlush(settings->wire, now_us);
}

int SimLoopRun(void)
{
    pthread_mutex_lock(&Lock);
    Running = 1;
    pthread_mutex_unlock(&Lock);
    while (!StopRequested) {
        ServeRequests();
        struct pollfd watched[3];
        watched[0].fd = WakePipe[0];
        watched[1].fd = SimFifoFd();   // negative when there is none: poll skips it
        watched[2].fd = SimLineFd();   // negative while vanished or full
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
        SimSettingsNow(&settings);
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
