/*
 * fiscald_control - the control socket's server side: one asker at a time
 * (others wait in the backlog), its request read and answered without the
 * serving loop ever waiting on it (controlprotocol.h).
 *
 *   ControlListen(path, why, size)  listens at path; a stale socket left
 *                                   there is replaced, anything else (a file,
 *                                   a server still listening) refused: 0, or
 *                                   -1 with the reason in why
 *   ControlPollSet(fds)             the two pollfds it needs (fd -1: skipped)
 *   ControlServe(fds, now)          after the poll: takes, reads, answers
 *   ControlNextWakeMs(now)          when an asker that is slow is let go
 *   ControlClose(remove_path)       closes; removes the socket's path unless
 *                                   the program that takes over makes it anew
 */
#ifndef FISCALD_CONTROL_H
#define FISCALD_CONTROL_H

#include <poll.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { CONTROL_POLL_ENTRIES = 2 };

int ControlListen(const char *path, char *why, size_t size);
void ControlPollSet(struct pollfd *fds);
void ControlServe(const struct pollfd *fds, long long now);
long long ControlNextWakeMs(long long now);
void ControlClose(int remove_path);

#ifdef __cplusplus
}
#endif

#endif
