// The service manager's notifications through libsystemd's sd_notify: the
// protocol is a datagram on a socket the manager names, and the library is
// the system's own way of speaking it. The environment is left as it is,
// so that the program a handover starts finds the socket too.
#include "fiscald_notify.h"
#include "fiscald_options.h"
#include "fiscald_status.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-daemon.h>

// A status that changes with every command is told at most this often.
static const long long STATUS_GAP_MS = 1000;
// Room for "STATUS=" and the summary.
enum { STATUS_MESSAGE_SIZE = 512 };

static int Active;              // NOTIFY_SOCKET is set
static long long PingEveryMs;   // 0: no watchdog
static long long NextPingMs;
static long long LastStatusMs;
static int StatusPending;   // it changed within the gap: told when the gap ends
static char LastStatus[STATUS_MESSAGE_SIZE];

void NotifyStart(void)
{
    uint64_t interval_us = 0;
    Active = getenv("NOTIFY_SOCKET") != nullptr;
    // Pinged at half the interval, as the manager's documentation advises.
    if (Active && sd_watchdog_enabled(0, &interval_us) > 0 && interval_us >= 2000) {
        PingEveryMs = (long long)(interval_us / 2000);
    }
}

static void Status(char *message, size_t size, long long now)
{
    static const char KEY[] = "STATUS=";
    memcpy(message, KEY, sizeof KEY);
    StatusSummary(message + sizeof KEY - 1, size - (sizeof KEY - 1), now);
}

void NotifyReady(long long now)
{
    char message[STATUS_MESSAGE_SIZE + 16];
    if (!Active) {
        return;
    }
    Status(LastStatus, sizeof LastStatus, now);
    snprintf(message, sizeof message, "READY=1\n%s", LastStatus);
    sd_notify(0, message);
    LastStatusMs = now;
    StatusPending = 0;
    NextPingMs = now + PingEveryMs;
}

void NotifyTick(long long now)
{
    char status[STATUS_MESSAGE_SIZE];
    if (!Active) {
        return;
    }
    if (PingEveryMs != 0 && now >= NextPingMs) {
        sd_notify(0, "WATCHDOG=1");
        NextPingMs = now + PingEveryMs;
    }
    Status(status, sizeof status, now);
    if (strcmp(status, LastStatus) == 0) {
        StatusPending = 0;
        return;
    }
    if (now < LastStatusMs + STATUS_GAP_MS) {
        StatusPending = 1;
        return;
    }
    memcpy(LastStatus, status, sizeof status);
    sd_notify(0, LastStatus);
    LastStatusMs = now;
    StatusPending = 0;
}

long long NotifyNextWakeMs(long long now)
{
    long long next = now + FISCALD_LONGEST_WAIT_MS;
    if (PingEveryMs != 0) {
        next = NextPingMs;
    }
    if (StatusPending && LastStatusMs + STATUS_GAP_MS < next) {
        next = LastStatusMs + STATUS_GAP_MS;
    }
    return next;
}

void NotifyStopping(void)
{
    if (Active) {
        sd_notify(0, "STOPPING=1");
    }
}
