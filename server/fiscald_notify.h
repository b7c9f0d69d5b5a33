/*
 * fiscald_notify - what the service manager is told (sd_notify): ready once
 * the line is held and the socket listens, the status line as it changes,
 * the watchdog's ping from the serving loop, and the stop. Without
 * NOTIFY_SOCKET in the environment nothing is sent and nothing is built.
 *
 *   NotifyStart()          reads the watchdog's interval (WATCHDOG_USEC)
 *   NotifyReady(now)       READY=1 with the status
 *   NotifyTick(now)        the ping when due; the status when it changed,
 *                          at most once a second
 *   NotifyNextWakeMs(now)  when NotifyTick has something to send
 *   NotifyStopping()       STOPPING=1
 */
#ifndef FISCALD_NOTIFY_H
#define FISCALD_NOTIFY_H

#ifdef __cplusplus
extern "C" {
#endif

void NotifyStart(void);
void NotifyReady(long long now);
void NotifyTick(long long now);
long long NotifyNextWakeMs(long long now);
void NotifyStopping(void);

#ifdef __cplusplus
}
#endif

#endif
